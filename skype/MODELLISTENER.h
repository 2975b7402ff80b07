#pragma once

// A listener of the user model: the contact list, a contact's connectable
// flags or the selection changed (not sent for online-status changes).
class MODELLISTENER {
public:
    virtual ~MODELLISTENER() = default;
    virtual void notifyModelChanged() {}
};
