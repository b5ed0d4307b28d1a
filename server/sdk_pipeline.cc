// The asynchronous path: many accounts' writes in one WriteBatch call.
#include <algorithm>

#include "server/sdk_internal.h"

namespace norvane {

struct SdkPipeline::CallState {
  const char* source = nullptr;
  const char* op = nullptr;
  zelto::UserWrite write;
};

struct SdkPipeline::Task {
  std::string key;
  std::vector<Call> calls;
  Finished finished;
  bool started = false;
  std::vector<SdkWrite> writes;  // for the observer, when there is one
};

// One WriteBatch call in flight: the tasks it carries, in the request's order.
struct SdkPipeline::Batch {
  std::vector<Task*> tasks;
  grpc::ClientContext context;
  zelto::WriteBatchRequest request;
  zelto::WriteBatchReply reply;
  grpc::Status status;
  std::chrono::milliseconds timeout{0};
  std::unique_ptr<grpc::ClientAsyncResponseReader<zelto::WriteBatchReply>> reader;
};

SdkPipeline::Call SdkPipeline::NewCall(const char* source, const char* op,
                                       zelto::UserWrite&& write) {
  auto state = std::make_shared<CallState>();
  state->source = source;
  state->op = op;
  state->write = std::move(write);
  return Call(std::move(state));
}

SdkPipeline::SdkPipeline(SdkRoot* root, std::size_t window)
    : root_(root),
      window_(window > 0 ? window : 1),
      batch_size_(std::max<std::size_t>(1, window_ / 4)),
      queue_(std::make_unique<grpc::CompletionQueue>()) {}

SdkPipeline::~SdkPipeline() {
  // The calls in flight must end before their contexts and the queue go.
  ready_.clear();
  for (auto& [key, tasks] : keys_) {
    for (auto& task : tasks) task->finished = nullptr;
  }
  while (in_flight_ > 0) Step();
  queue_->Shutdown();
  void* tag;
  bool ok;
  while (queue_->Next(&tag, &ok)) {
  }
}

SdkPipeline::Call SdkPipeline::AddUser(const std::string& account, int auth_type) {
  zelto::UserWrite w;
  *w.mutable_add_user() = AddUserRequest(account, auth_type);
  return NewCall(kUserSource, "AddUser", std::move(w));
}

SdkPipeline::Call SdkPipeline::MoveUser(const std::string& account, const std::string& old_path,
                                        const std::string& new_path, int flags) {
  zelto::UserWrite w;
  *w.mutable_move_user() = MoveUserRequest(account, old_path, new_path, flags);
  return NewCall(kDeptSource, "MoveUser", std::move(w));
}

SdkPipeline::Call SdkPipeline::TakeUserOutOfDepartment(const std::string& account,
                                                       const std::string& path) {
  CheckTexts(kDeptSource, "TakeUserOutOfDepartment", {&account, &path});
  zelto::UserWrite w;
  w.mutable_take_user_out()->set_account(account);
  w.mutable_take_user_out()->set_ref(path);
  return NewCall(kDeptSource, "TakeUserOutOfDepartment", std::move(w));
}

// Goes with the account's other writes to the SDK server (the same server's store), so
// that they stay in their order within one call.
SdkPipeline::Call SdkPipeline::SetUserAuthType(const std::string& account, int auth_type) {
  CheckTexts(kAppSource, "SetUserAuthType", {&account});
  zelto::UserWrite w;
  w.mutable_set_auth_type()->set_account(account);
  w.mutable_set_auth_type()->set_auth_type(auth_type);
  return NewCall(kAppSource, "SetUserAuthType", std::move(w));
}

SdkPipeline::Call SdkPipeline::SetUserBasicInfo(const std::string& account, const std::string& name,
                                                int gender, const std::string& mobile,
                                                const std::string& email, const std::string& phone,
                                                int auth_type) {
  zelto::UserWrite w;
  *w.mutable_basic_info() =
      BasicInfoRequest(account, name, gender, mobile, email, phone, auth_type);
  return NewCall(kUserSource, "SetUserBasicInfo", std::move(w));
}

SdkPipeline::Call SdkPipeline::SetUserDetails(
    const std::string& account, int age, int birthday, int bloodtype, const std::string& fax,
    const std::string& homepage, const std::string& address, const std::string& postcode,
    const std::string& country, const std::string& province, const std::string& city,
    const std::string& college, const std::string& memo, const std::string& position, int type) {
  zelto::UserWrite w;
  *w.mutable_details() =
      DetailsRequest(account, age, birthday, bloodtype, fax, homepage, address, postcode, country,
                     province, city, college, memo, position, type);
  return NewCall(kUserSource, "SetUserDetails", std::move(w));
}

void SdkPipeline::Send(const std::string& key, std::vector<Call> calls, Finished finished) {
  SdkCore& core = *root_->core_;
  if (core.dry.load() && !Busy(key)) {
    // A dry run: nothing to wait for, so the task ends here, as if the server had agreed.
    for (Call& call : calls) core.Intercept(DescribeWrite(call.state_->write));
    if (finished) finished(nullptr);
    return;
  }
  auto task = std::make_unique<Task>();
  task->key = key;
  task->calls = std::move(calls);
  task->finished = std::move(finished);
  Task* t = task.get();
  auto& tasks = keys_[key];
  tasks.push_back(std::move(task));
  if (tasks.size() == 1) ready_.push_back(t);
  // Full batches go out at once; a partial one waits for more tasks, or for Wait.
  while (ready_.size() >= batch_size_) {
    if (in_flight_ + batch_size_ <= window_) {
      StartBatch(batch_size_);
    } else {
      Step();
    }
  }
}

void SdkPipeline::Wait() {
  while (!keys_.empty()) {
    if (!ready_.empty() && in_flight_ < window_) {
      StartBatch(std::min({ready_.size(), batch_size_, window_ - in_flight_}));
      continue;
    }
    if (in_flight_ == 0) break;  // cannot happen: a queued task is in flight or ready
    Step();
  }
}

bool SdkPipeline::Busy(const std::string& key) const { return keys_.count(key) > 0; }

void SdkPipeline::StartBatch(std::size_t count) {
  auto batch = std::make_unique<Batch>();
  while (batch->tasks.size() < count && !ready_.empty()) {
    Task* task = ready_.front();
    ready_.pop_front();
    if (task->calls.empty()) {
      Finish(task, nullptr);  // may make the key's next task ready
      continue;
    }
    task->started = true;
    ++in_flight_;
    if (root_->core_->observer.load()) {
      for (Call& call : task->calls) task->writes.push_back(DescribeWrite(call.state_->write));
    }
    zelto::WriteTask* request = batch->request.add_tasks();
    // Sent once: the writes move into the request (a call keeps only its names, for errors).
    for (Call& call : task->calls) *request->add_writes() = std::move(call.state_->write);
    batch->tasks.push_back(task);
  }
  if (batch->tasks.empty()) return;
  SdkCore& core = *root_->core_;
  batch->timeout = core.Timeout();
  batch->context.set_deadline(std::chrono::system_clock::now() + batch->timeout);
  core.transport.Authorize(&batch->context);
  g_call_count.fetch_add(1, std::memory_order_relaxed);
  batch->reader = core.user->PrepareAsyncWriteBatch(&batch->context, batch->request, queue_.get());
  batch->reader->StartCall();
  Batch* sent = batch.release();  // owned by the queue until its answer
  sent->reader->Finish(&sent->reply, &sent->status, sent);
}

void SdkPipeline::Step() {
  void* tag = nullptr;
  bool ok = false;
  if (!queue_->Next(&tag, &ok)) return;
  std::unique_ptr<Batch> batch(static_cast<Batch*>(tag));
  SdkCore& core = *root_->core_;
  for (std::size_t i = 0; i < batch->tasks.size(); ++i) {
    Task* task = batch->tasks[i];
    grpc::Status status = batch->status;
    std::size_t failed = 0;  // the call that ended the task
    if (status.ok()) {
      if (i >= static_cast<std::size_t>(batch->reply.results_size())) {
        status = grpc::Status(grpc::StatusCode::INTERNAL, "服务器没有给出任务的结果");
      } else {
        const zelto::TaskResult& result = batch->reply.results(static_cast<int>(i));
        const std::size_t done = std::min<std::size_t>(result.done(), task->writes.size());
        for (std::size_t w = 0; w < done; ++w) core.Wrote(task->writes[w]);
        if (result.code() == 0 && result.done() >= task->calls.size()) {
          Finish(task, nullptr);
          continue;
        }
        failed = std::min<std::size_t>(result.done(), task->calls.size() - 1);
        status = result.code() == 0
                     ? grpc::Status(grpc::StatusCode::INTERNAL, "服务器结束了任务但没有说明原因")
                     : grpc::Status(static_cast<grpc::StatusCode>(result.code()), result.message());
      }
    }
    const CallState& call = *task->calls[failed].state_;
    const SdkError error = ErrorFromStatus(status, call.source, call.op, core.sdk_address,
                                           batch->timeout, core.transport.credential_file);
    Finish(task, &error);
  }
}

void SdkPipeline::Finish(Task* task, const SdkError* error) {
  if (task->started) --in_flight_;
  auto it = keys_.find(task->key);
  std::vector<std::unique_ptr<Task>> tasks = std::move(it->second);
  keys_.erase(it);
  // The key's first task is this one; with an error the others end with it, unsent.
  std::size_t done = error ? tasks.size() : 1;
  for (std::size_t i = 0; i < done; ++i) {
    if (tasks[i]->finished) tasks[i]->finished(error);
  }
  if (done < tasks.size()) {
    tasks.erase(tasks.begin(), tasks.begin() + static_cast<std::ptrdiff_t>(done));
    Task* next = tasks.front().get();
    keys_[next->key] = std::move(tasks);
    ready_.push_back(next);
  }
}

}  // namespace norvane
