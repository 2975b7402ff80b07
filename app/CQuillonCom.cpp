#include "app/CQuillonCom.h"

CQuillonCom::CQuillonCom() = default;

CQuillonCom::~CQuillonCom() = default;
