#pragma once

#include "controller/CQuillonForTcpCom.h"

// The controller the main dialog holds as a member: CQuillonForTcpCom with a
// constructor and a destructor of its own and nothing else.
class CQuillonCom : public CQuillonForTcpCom {
public:
    CQuillonCom();
    ~CQuillonCom() override;
};
