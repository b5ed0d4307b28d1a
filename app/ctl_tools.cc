#include "app/ctl_tools.h"

#include <openssl/crypto.h>
#include <termios.h>
#include <unistd.h>

#include <cstdio>
#include <iostream>
#include <mutex>
#include <string>

#include "config/credential.h"
#include "config/records.h"

namespace norvane {

void ErrLine(const std::string& text) {
  static std::mutex mu;
  std::lock_guard<std::mutex> guard(mu);
  std::fputs(text.c_str(), stderr);
  if (text.empty() || text.back() != '\n') std::fputc('\n', stderr);
  std::fflush(stderr);
}

bool ReadSecretLine(std::string& secret) { return ReadSecretLine(secret, std::cin); }

bool ReadSecretLine(std::string& secret, std::istream& in) {
  termios saved{};
  const bool terminal =
      &in == &std::cin && isatty(STDIN_FILENO) == 1 && tcgetattr(STDIN_FILENO, &saved) == 0;
  if (terminal) {
    std::fputs("password: ", stderr);
    termios quiet = saved;
    quiet.c_lflag &= ~static_cast<tcflag_t>(ECHO);
    tcsetattr(STDIN_FILENO, TCSAFLUSH, &quiet);
  }
  const bool got = static_cast<bool>(std::getline(in, secret));
  if (terminal) {
    tcsetattr(STDIN_FILENO, TCSAFLUSH, &saved);
    std::fputc('\n', stderr);
  }
  if (!secret.empty() && secret.back() == '\r') secret.pop_back();
  return got;
}

int CtlProtectPassword() {
  std::string password;
  std::getline(std::cin, password);
  if (!password.empty() && password.back() == '\r') password.pop_back();
  int status = 0;
  if (password.empty()) {
    std::fprintf(stderr, "norvanectl: 标准输入中没有密码\n");
    status = 1;
  } else if (password.size() > kPasswordBytes) {
    std::fprintf(stderr, "norvanectl: 密码最多 %zu 个字节\n", kPasswordBytes);
    status = 1;
  } else {
    std::string stored;
    if (EncryptPassword(password, stored)) {
      std::printf("%s\n", stored.c_str());
    } else {
      std::fprintf(stderr, "norvanectl: 无法生成密码的保护形式\n");
      status = 1;
    }
  }
  OPENSSL_cleanse(password.data(), password.size());
  return status;
}

}  // namespace norvane
