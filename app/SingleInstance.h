#pragma once

#include <string>

// One copy of the gateway per user: an exclusive flock on a file named after
// the single-instance mutex in the user's runtime directory. The lock is
// held until the object goes (in the program: until the process ends).
class SingleInstance {
public:
    enum Result { kAcquired, kAlreadyRunning, kFailed };

    // "__MOSSLANTERN__" followed by the product title.
    static std::string mutexName();

    SingleInstance() = default;
    ~SingleInstance();
    SingleInstance(const SingleInstance&) = delete;
    SingleInstance& operator=(const SingleInstance&) = delete;

    Result acquire(const std::string& directory, const std::string& name);

private:
    int fd = -1;
};
