#include "app/ctl_tools.h"

#include <openssl/crypto.h>

#include <cstdio>
#include <iostream>
#include <string>

#include "config/credential.h"
#include "config/records.h"

namespace norvane {

int CtlProtectPassword() {
  std::string password;
  std::getline(std::cin, password);
  if (!password.empty() && password.back() == '\r') password.pop_back();
  int status = 0;
  if (password.empty()) {
    std::fprintf(stderr, "norvanectl: no password on standard input\n");
    status = 1;
  } else if (password.size() > kPasswordBytes) {
    std::fprintf(stderr, "norvanectl: a password holds at most %zu bytes\n", kPasswordBytes);
    status = 1;
  } else {
    std::string stored;
    if (EncryptPassword(password, stored)) {
      std::printf("%s\n", stored.c_str());
    } else {
      std::fprintf(stderr, "norvanectl: the password could not be protected\n");
      status = 1;
    }
  }
  OPENSSL_cleanse(password.data(), password.size());
  return status;
}

}  // namespace norvane
