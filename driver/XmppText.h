#pragma once

#include <string>
#include <string_view>
#include <vector>

// The small text codings of the XMPP link.
namespace xmpptext {

// Text for XML character data and attribute values (both quote kinds).
std::string escaped(std::string_view text);

// Standard base64 with padding; decode refuses anything else (white space
// included) and returns false.
std::string base64(std::string_view bytes);
bool unbase64(std::string_view text, std::string& bytes);

// An application name as a feature or element text: letters, digits and
// "-._~" as they are, every other byte as %XX, so any name the driver takes
// is valid XML whatever its bytes.
std::string percentEncoded(std::string_view name);
bool percentDecoded(std::string_view text, std::string& name);

// The bare JID of a full or bare JID, lower case.
std::string bareOf(std::string_view jid);

// The entity-capabilities verification string (sha-1) of one identity and a
// set of features: base64(SHA-1("category/type//name<" + each feature + "<")),
// features in byte order.
std::string capsVer(const std::string& category, const std::string& type,
                    const std::string& name, std::vector<std::string> features);

}  // namespace xmpptext
