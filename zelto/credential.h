// The credential of zeltod's SDK and application-server ports: a secret text kept in a file
// that only the server's administrator (and the programs it trusts) can read. Every call
// except the client login carries it in the metadata entry kCredentialHeader.
//
// File format: the secret on the first line (printable ASCII without blanks, 16 to 1024
// characters); a trailing line end is ignored.
#ifndef NORVANE_ZELTO_CREDENTIAL_H_
#define NORVANE_ZELTO_CREDENTIAL_H_

#include <string>

namespace zelto {

inline constexpr const char kCredentialHeader[] = "x-zelto-credential";

// Reads the secret of an existing credential file. False with a reason in *error (which
// never holds the secret) when the file cannot be read or holds no usable secret.
bool ReadCredential(const std::string& path, std::string* secret, std::string* error);

// The server's side: reads the file, or creates it with a new random secret (mode 0600)
// when it does not exist. *created tells which.
bool LoadOrCreateCredential(const std::string& path, std::string* secret, bool* created,
                            std::string* error);

// Wipes a secret (or a password) held in memory, with OPENSSL_cleanse, and empties it.
void WipeCredential(std::string* secret);

}  // namespace zelto

#endif  // NORVANE_ZELTO_CREDENTIAL_H_
