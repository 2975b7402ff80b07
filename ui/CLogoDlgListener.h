#pragma once

// Hears the status bar's "propaty" button.
class CLogoDlgListener {
public:
    virtual ~CLogoDlgListener() = default;
    virtual void notifyPropatyButton() = 0;
};
