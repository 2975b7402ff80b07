// A TCP-side source that includes a tunnel header: an include pointing up a
// layer. The test layers.UpwardIncludeFailsToBuild compiles it as the TCP
// layer is compiled (linking quillon_tcp only) and passes only if the
// compiler cannot find the header; layers.SameIncludeBuildsFromAbove
// compiles it as the tunnel layer is and needs it to build, so the failure
// comes from what the TCP layer may see and from nothing else.
#include "tcp/XR_QUE.h"
#include "tunnel/XR_SKYPESTREAM.h"

int tcpIncludesTunnelProbe() {
    return sizeof(XR_QUE) > 0 && sizeof(XR_SKYPESTREAM) > 0 ? 1 : 0;
}
