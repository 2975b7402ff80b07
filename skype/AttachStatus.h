#pragma once

// The driver attachment status: what the link stores (XR_SKYPECOM::
// getAttachStatus) and reports to its listeners, and what the front ends
// test and show. The attach message's code is stored shifted by one (code 0,
// success, is stored as 1), except 0x8001, which is stored unchanged; every
// front end relies on the stored values: 1 attached, 0 not attached.
inline constexpr int SKYPECONTROLAPI_NO_ATTACH = 0;  // initial, and after a failed send
inline constexpr int SKYPECONTROLAPI_ATTACH_SUCCESS = 1;
inline constexpr int SKYPECONTROLAPI_ATTACH_PENDING_AUTHORIZATION = 2;
inline constexpr int SKYPECONTROLAPI_ATTACH_REFUSED = 3;
inline constexpr int SKYPECONTROLAPI_ATTACH_NOT_AVAILABLE = 4;
inline constexpr int SKYPECONTROLAPI_ATTACH_API_AVAILABLE = 0x8001;
