#include "controller/CQuillonCom.h"

CQuillonCom::CQuillonCom() = default;

CQuillonCom::~CQuillonCom() = default;
