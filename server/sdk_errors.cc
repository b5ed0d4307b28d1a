// The errors of the SDK component: a failed call's status as SdkError, and its text.
#include <cstdio>

#include "platform/activity_log.h"
#include "platform/text.h"
#include "server/sdk_internal.h"

namespace norvane {

std::atomic<std::uint64_t> g_call_count{0};
std::atomic<bool> g_refusal_logged{false};

// Refuses, before any traffic, a text the wire cannot carry.
void CheckTexts(const char* source, const char* op,
                std::initializer_list<const std::string*> texts) {
  for (const std::string* t : texts) {
    if (!IsValidUtf8(*t)) {
      throw SdkError(kSdkErrorInvalidArg, source, std::string(op) + ": 参数不是有效的 UTF-8 文本");
    }
  }
}

// `credential_file`: the file the refused credential was read from ("" when none is set).
SdkError ErrorFromStatus(const grpc::Status& status, const char* source, const char* op,
                         const std::string& address, std::chrono::milliseconds timeout,
                         const std::string& credential_file) {
  const std::string& message = status.error_message();
  switch (status.error_code()) {
    case grpc::StatusCode::UNAUTHENTICATED:
      if (!g_refusal_logged.exchange(true)) {
        const std::string used =
            credential_file.empty() ? "没有配置凭据文件" : "凭据读自 " + credential_file;
        WriteLog("Zelto服务器 " + address + " 拒绝了本程序的凭据 (" + message + "): " + used +
                 "; " + kSetCredentialHint);
      }
      return SdkError(
          kSdkErrorAccessDenied, source,
          std::string(op) + ": Zelto服务器 " + address + " 拒绝了凭据 (" + message + ")");
    case grpc::StatusCode::UNAVAILABLE:
      return SdkError(kSdkErrorUnavailable, source,
                      std::string(op) + ": 无法连接Zelto服务器 " + address + " (" + message + ")");
    case grpc::StatusCode::DEADLINE_EXCEEDED:
      return SdkError(kSdkErrorTimeout, source,
                      std::string(op) + ": Zelto服务器 " + address + " 在 " +
                          std::to_string(timeout.count()) + " 毫秒内没有答复");
    case grpc::StatusCode::CANCELLED:
      return SdkError(kSdkErrorCancelled, source,
                      std::string(op) + ": 对 " + address + " 的调用被取消");
    case grpc::StatusCode::INVALID_ARGUMENT:
      return SdkError(kSdkErrorInvalidArg, source, std::string(op) + ": " + message);
    case grpc::StatusCode::NOT_FOUND:
      return SdkError(kSdkErrorNotFound, source, std::string(op) + ": " + message);
    case grpc::StatusCode::ALREADY_EXISTS:
      return SdkError(kSdkErrorExists, source, std::string(op) + ": " + message);
    case grpc::StatusCode::FAILED_PRECONDITION:
      return SdkError(kSdkErrorPrecondition, source, std::string(op) + ": " + message);
    default:
      return SdkError(kSdkErrorFail, source,
                      std::string(op) + " 在 " + address + " 失败: " + message);
  }
}

std::string SdkErrorMeaning(long code) {
  struct Known {
    long code;
    const char* text;
  };
  static const Known kKnown[] = {
      {kSdkErrorFail, "未指定的错误"},
      {kSdkErrorInvalidArg, "参数错误。"},
      {kSdkErrorUnavailable, "RPC 服务器不可用。"},
      {kSdkErrorTimeout, "超时时间已到。"},
      {kSdkErrorCancelled, "操作已被用户取消。"},
      {kSdkErrorAccessDenied, "拒绝访问。"},
  };
  for (const Known& k : kKnown) {
    if (k.code == code) return k.text;
  }
  char buf[64];
  if (code >= 0x80040200L && code <= 0x8004FFFFL) {
    std::snprintf(buf, sizeof buf, "IDispatch error #%d", static_cast<int>(code - 0x80040200L));
  } else {
    std::snprintf(buf, sizeof buf, "Unknown error 0x%0lX", static_cast<unsigned long>(code));
  }
  return buf;
}

std::string ComposeSdkErrorText(const SdkError& error) {
  char code[32];
  std::snprintf(code, sizeof code, "%08lx", static_cast<unsigned long>(error.code));
  std::string text = "发生错误!\n";
  text += "Code = " + std::string(code) + "\n";
  text += "Code meaning = " + SdkErrorMeaning(error.code) + "\n";
  text += "Source = " + (error.source.empty() ? std::string("null") : error.source) + "\n";
  text += "Description = " + (error.description.empty() ? std::string("null") : error.description) +
          "\n";
  return text;
}

void ReportSdkError(const SdkError& error) { WriteLog(ComposeSdkErrorText(error)); }

std::uint64_t SdkCallCount() { return g_call_count.load(std::memory_order_relaxed); }

}  // namespace norvane
