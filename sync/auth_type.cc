// The engine's side of authentication-type switching: its SDK connection and its list of
// specified accounts, handed to the server bridge.
#include "platform/run_lock.h"
#include "server/auth_switch.h"
#include "server/sdk.h"
#include "sync/engine_internal.h"
#include "sync/sync_engine.h"

namespace norvane {

int SyncEngine::SetAuthType(int scope, int type) {
  RunLock run_lock;
  if (!engine_internal::TakeRunLock(run_lock)) return 0;
  RunRecord record(this, RunKind::kAuth);
  SdkApplication* application = sdk_ ? sdk_->Application() : nullptr;
  SdkDeptManager* departments = sdk_ ? sdk_->DeptManager() : nullptr;
  Prompt* prompt = prompt_;
  return record.Finish(
      ::norvane::SetAuthType(sdk_ != nullptr, application, departments, specified_accounts_, scope,
                             type, [prompt](const std::string& text) { prompt->Show(text); }));
}

int SyncEngine::SetAuthTypeForAccounts(const std::vector<std::string>& accounts, int type) {
  RunLock run_lock;
  if (!engine_internal::TakeRunLock(run_lock)) return 0;
  RunRecord record(this, RunKind::kAuth);
  SdkApplication* application = sdk_ ? sdk_->Application() : nullptr;
  Prompt* prompt = prompt_;
  return record.Finish(
      ::norvane::SetAuthTypeForAccounts(sdk_ != nullptr, application, accounts, type,
                                        [prompt](const std::string& text) { prompt->Show(text); }));
}

}  // namespace norvane
