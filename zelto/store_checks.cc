// The checks of a write's arguments, made before anything is queued.
#include "platform/text.h"
#include "zelto/store_internal.h"

namespace zelto {
namespace {

bool HasControl(const std::string& text) {
  for (unsigned char c : text) {
    if (c < 0x20 || c == 0x7f) return true;
  }
  return false;
}

}  // namespace

void CheckText(const std::string& value, const char* field, std::size_t max_bytes) {
  if (value == kNull) return;
  if (!norvane::IsValidUtf8(value)) {
    throw StoreError(StoreCode::kInvalid, std::string(field) + " is not valid UTF-8");
  }
  if (value.size() > max_bytes) {
    throw StoreError(StoreCode::kInvalid, std::string(field) + " is longer than " +
                                              std::to_string(max_bytes) + " bytes");
  }
}

void CheckNumber(int value, const char* field, int max) {
  if (value == -1) return;
  if (value < 0 || value > max) {
    throw StoreError(StoreCode::kInvalid, std::string(field) + " " + std::to_string(value) +
                                              " is out of range (-1 or 0.." + std::to_string(max) +
                                              ")");
  }
}

void CheckAccount(const std::string& account) { CheckName(account, "account", kMaxAccountBytes); }

void CheckAuthType(int type) {
  if (type < 0 || type > kMaxAuthType) {
    throw StoreError(StoreCode::kInvalid,
                     "unknown authentication type " + std::to_string(type) + " (0..3)");
  }
}

void CheckName(const std::string& name, const char* what, std::size_t max_bytes) {
  if (name.empty()) throw StoreError(StoreCode::kInvalid, std::string(what) + " is empty");
  if (name.find('\\') != std::string::npos) {
    throw StoreError(StoreCode::kInvalid,
                     std::string(what) + " " + Quote(name) + " holds \"\\\", which is not allowed");
  }
  if (!norvane::IsValidUtf8(name)) {
    throw StoreError(StoreCode::kInvalid, std::string(what) + " is not valid UTF-8");
  }
  if (HasControl(name)) {
    throw StoreError(StoreCode::kInvalid, std::string(what) + " holds a control character");
  }
  if (name.size() > max_bytes) {
    throw StoreError(StoreCode::kInvalid, std::string(what) + " " + Quote(name) +
                                              " is longer than " + std::to_string(max_bytes) +
                                              " bytes");
  }
}

}  // namespace zelto
