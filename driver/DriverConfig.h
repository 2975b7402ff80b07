#pragma once

#include <map>
#include <string>
#include <string_view>
#include <vector>

#include "driver/DriverHub.h"

// The driver's configuration file: one INI section per account, named by the
// account's handle, with
//   socket          path of the account's Unix socket (required; a relative
//                   path is taken from the configuration file's directory)
//   contacts        comma-separated handles, in the order SEARCH FRIENDS lists them
//   status          ONLINE (default), AWAY, NA, DND, INVISIBLE, OFFLINE, SKYPEME
//   authorize       allow (default), pending, refuse, unavailable
//   authorizedelay  milliseconds before a pending attach succeeds (default 3000)
//   identity        the account's identity key file for sealed streams between
//                   drivers (default <section>.identity beside this file)
//   trust           the contacts' pinned identity keys (default <section>.trust
//                   beside this file)
// A contact may carry the fingerprint its identity key must have:
// "contacts = bob@a.test#12345-67890-…"; the contact is the part before '#'.
//
// A section with a "jid" key is an XMPP account: its handle is that bare JID,
// its contacts are the mutual roster items of the account, and
//   jid             the account's bare JID (local@domain)
//   password        its password, or
//   password_file   a file holding it (first line), readable by its owner only
//   server, port    where to connect (default: the JID's domain, port 5222)
//   cafile          extra CA certificate(s) that may sign the server's certificate
//   contacts        bare JIDs subscribed to, and approved, automatically
struct XmppAccountConfig {
    bool enabled = false;
    std::string jid;  // bare, lower case; also the account's handle
    std::string password;
    std::string server;  // empty: the JID's domain
    int port = 0;        // 0: the default
    std::string cafile;  // empty: the system store only
    std::vector<std::string> contacts;
};

struct DriverAccountConfig {
    std::string section;  // as the file names it
    DriverHub::AccountSettings settings;
    std::string socketPath;
    XmppAccountConfig xmpp;
    std::string identityPath;
    std::string trustPath;
    // Contact handle -> fingerprint in canonical form (Identity::parseFingerprint).
    std::map<std::string, std::string> expectedFingerprints;
};

struct DriverConfig {
    // The XMPP library watches its sockets with select(), which cannot see a
    // descriptor above 1023; with XMPP accounts the driver's descriptors stay
    // below that (per account: a socket, its lock, 32 clients, the server
    // connection), so a file with XMPP accounts holds at most this many.
    static constexpr size_t kMaxAccountsWithXmpp = 16;
    static constexpr size_t kMaxPasswordBytes = 1024;

    std::vector<DriverAccountConfig> accounts;

    // Whether text is a bare JID the driver can use as a handle: local@domain,
    // at most 49 bytes, no blank, control character, ',', ':', '/' or quote.
    static bool isBareJid(std::string_view text);

    // Parses the text of a configuration file; baseDirectory resolves
    // relative socket paths. On failure returns false with a message that
    // names the account and the key.
    bool parse(std::string_view text, const std::string& baseDirectory, std::string& error);
    bool load(const std::string& path, std::string& error);

    // The account of that section (case-insensitive, as the file's names
    // are), or nullptr.
    const DriverAccountConfig* find(std::string_view section) const;
};
