// The application object and its event stream.
#include <openssl/crypto.h>

#include <condition_variable>
#include <cstdio>
#include <deque>
#include <random>
#include <thread>

#include "platform/activity_log.h"
#include "server/sdk_internal.h"

namespace norvane {
namespace {

std::string MakeSession() {
  std::random_device rd;
  char buf[40];
  std::snprintf(buf, sizeof buf, "%08x%08x%08x%08x", rd(), rd(), rd(), rd());
  return buf;
}

}  // namespace

// ---- application ----------------------------------------------------------------------

// One event connection. Shared by the application object and the event thread, so that
// the thread can finish on its own when the application object is destroyed from inside
// a callback.
struct SdkEventLink {
  std::shared_ptr<grpc::Channel> channel;
  std::string session;
  std::string address;
  SdkEventSink* sink = nullptr;
  grpc::ClientContext context;
  std::atomic<bool> closing{false};  // set by Disconnect: deliver nothing more
  std::atomic<bool> live{false};

  // Whether the thread is inside a sink call; set only while closing is false, so that
  // Disconnect knows whether the thread can be joined at once.
  std::mutex callback_mu;
  bool in_callback = false;  // guarded by callback_mu

  bool EnterCallback() {
    std::lock_guard<std::mutex> lock(callback_mu);
    if (closing) return false;
    in_callback = true;
    return true;
  }
  void LeaveCallback() {
    std::lock_guard<std::mutex> lock(callback_mu);
    in_callback = false;
  }
  // Sets closing; true when a sink call is in progress.
  bool Close() {
    std::lock_guard<std::mutex> lock(callback_mu);
    closing = true;
    return in_callback;
  }

  std::mutex mu;
  std::condition_variable cv;
  // Guarded by mu.
  enum class State { kOpening, kOpen, kFailed } state = State::kOpening;
  grpc::Status failure;
};

namespace {

void RunEvents(std::shared_ptr<SdkEventLink> link) {
  auto stub = zelto::Application::NewStub(link->channel);
  g_call_count.fetch_add(1, std::memory_order_relaxed);
  std::unique_ptr<grpc::ClientReaderWriter<zelto::AppMessage, zelto::AppEvent>> stream =
      stub->Events(&link->context);
  zelto::AppMessage hello;
  hello.mutable_hello()->set_session(link->session);
  zelto::AppEvent event;
  bool ok = stream->Write(hello) && stream->Read(&event) && event.has_connected();
  if (!ok) {
    grpc::Status status = stream->Finish();
    if (status.ok()) {
      status = grpc::Status(grpc::StatusCode::UNKNOWN, "服务器关闭了事件连接");
    }
    std::lock_guard<std::mutex> lock(link->mu);
    link->state = SdkEventLink::State::kFailed;
    link->failure = status;
    link->cv.notify_all();
    return;
  }
  {
    std::lock_guard<std::mutex> lock(link->mu);
    link->state = SdkEventLink::State::kOpen;
    link->live = true;
    link->cv.notify_all();
  }
  // Events are read as they arrive, on a thread of their own, and the server's wait is
  // counted from then on this machine's monotonic clock: no wall clock of either machine is
  // involved, and a login that waited behind a slow check has used up its share.
  struct Arrived {
    zelto::LoginVerify verify;
    std::chrono::steady_clock::time_point deadline;
  };
  std::mutex queue_mu;
  std::condition_variable queued;
  std::deque<Arrived> queue;  // guarded by queue_mu
  bool stream_ended = false;  // guarded by queue_mu
  bool app_stopped = false;   // guarded by queue_mu
  std::thread reader([&] {
    zelto::AppEvent arrived;
    bool stopped = false;
    while (!stopped && stream->Read(&arrived)) {
      stopped = arrived.has_app_stopped();
      if (!stopped && !arrived.has_login_verify()) continue;
      const auto now = std::chrono::steady_clock::now();
      std::lock_guard<std::mutex> lock(queue_mu);
      if (stopped) {
        app_stopped = true;
      } else {
        const std::int64_t wait_ms = arrived.login_verify().wait_ms();
        queue.push_back({std::move(*arrived.mutable_login_verify()),
                         wait_ms > 0 ? now + std::chrono::milliseconds(wait_ms)
                                     : std::chrono::steady_clock::time_point::max()});
      }
      queued.notify_one();
    }
    std::lock_guard<std::mutex> lock(queue_mu);
    stream_ended = true;
    queued.notify_one();
  });
  while (!link->closing) {
    Arrived next;
    {
      std::unique_lock<std::mutex> lock(queue_mu);
      queued.wait(lock, [&] { return stream_ended || app_stopped || !queue.empty(); });
      // Once the application is stopped, the logins still queued are refused by the server.
      if (app_stopped || queue.empty()) break;
      next = std::move(queue.front());
      queue.pop_front();
    }
    zelto::LoginVerify* verify = &next.verify;
    if (!link->EnterCallback()) {
      OPENSSL_cleanse(verify->mutable_password()->data(), verify->password().size());
      break;
    }
    int result = 1;
    try {
      result = link->sink->OnLoginVerify(verify->account(), verify->password(), next.deadline);
    } catch (...) {
      result = 1;
    }
    link->LeaveCallback();
    OPENSSL_cleanse(verify->mutable_password()->data(), verify->password().size());
    if (result < 0 || result > 2) result = 1;
    if (link->closing) break;
    zelto::AppMessage answer;
    answer.mutable_verify_answer()->set_request_id(verify->request_id());
    answer.mutable_verify_answer()->set_result(result);
    if (!stream->Write(answer)) break;
  }
  link->live = false;
  bool deliver = !link->closing;
  stream->WritesDone();
  // Bounded: the status is not worth waiting for. The cancel also ends the reader's Read.
  link->context.TryCancel();
  reader.join();
  for (Arrived& left : queue) {
    OPENSSL_cleanse(left.verify.mutable_password()->data(), left.verify.password().size());
  }
  stream->Finish();
  // Last thing the thread does: the sink may destroy the application object from here.
  if (deliver) link->sink->OnAppStopped();
}

}  // namespace

struct SdkApplication::Impl {
  SdkCore* core;
  std::string session = MakeSession();

  std::mutex mu;
  // Guarded by mu.
  std::string address;
  std::shared_ptr<grpc::Channel> channel;
  std::shared_ptr<zelto::Application::Stub> stub;
  std::shared_ptr<SdkEventLink> link;
  std::thread thread;

  // The stub for the application server currently set on the root.
  std::shared_ptr<zelto::Application::Stub> Stub(const char* op, std::string* address_out,
                                                 std::shared_ptr<grpc::Channel>* channel_out) {
    std::string host;
    int port;
    {
      std::lock_guard<std::mutex> lock(core->mu);
      host = core->app_host;
      port = core->app_port;
    }
    if (host.empty() || port == 0) {
      throw SdkError(kSdkErrorInvalidArg, kAppSource,
                     std::string(op) + ": 根对象上没有设置应用服务器的地址和端口");
    }
    std::string wanted = FormatAddress(host, port);
    std::lock_guard<std::mutex> lock(mu);
    if (!stub || wanted != address) {
      std::shared_ptr<grpc::Channel> made = core->transport.MakeChannel(host, wanted, true);
      if (!made) {
        std::string text = PlainTextRefusal("Zelto应用服务器", wanted);
        WriteLog(text);
        throw SdkError(kSdkErrorAccessDenied, kAppSource, std::string(op) + ": " + text);
      }
      address = wanted;
      channel = std::move(made);
      stub = zelto::Application::NewStub(channel);
    }
    *address_out = address;
    if (channel_out) *channel_out = channel;
    return stub;
  }

  template <typename Fn>
  void Invoke(const char* op, Fn&& fn) {
    std::string where;
    std::shared_ptr<grpc::Channel> channel;
    std::shared_ptr<zelto::Application::Stub> s = Stub(op, &where, &channel);
    core->Invoke(channel.get(), where, kAppSource, op,
                 [&](grpc::ClientContext* c) { return fn(*s, c); });
  }
};

SdkApplication::SdkApplication(SdkCore* core) : impl_(std::make_unique<Impl>()) {
  impl_->core = core;
}

SdkApplication::~SdkApplication() { Disconnect(); }

void SdkApplication::SetIdentifier(const std::string& identifier) {
  CheckTexts(kAppSource, "SetIdentifier", {&identifier});
  zelto::AppText r;
  r.set_session(impl_->session);
  r.set_text(identifier);
  zelto::Empty reply;
  impl_->Invoke("SetIdentifier", [&](zelto::Application::Stub& s, grpc::ClientContext* c) {
    return s.SetIdentifier(c, r, &reply);
  });
}

void SdkApplication::SetName(const std::string& name) {
  CheckTexts(kAppSource, "SetName", {&name});
  zelto::AppText r;
  r.set_session(impl_->session);
  r.set_text(name);
  zelto::Empty reply;
  impl_->Invoke("SetName", [&](zelto::Application::Stub& s, grpc::ClientContext* c) {
    return s.SetName(c, r, &reply);
  });
}

void SdkApplication::Register() {
  zelto::AppSession r;
  r.set_session(impl_->session);
  zelto::Empty reply;
  impl_->Invoke("Register", [&](zelto::Application::Stub& s, grpc::ClientContext* c) {
    return s.Register(c, r, &reply);
  });
}

int SdkApplication::Start(const std::string& text, int mode) {
  CheckTexts(kAppSource, "Start", {&text});
  zelto::StartRequest r;
  r.set_session(impl_->session);
  r.set_text(text);
  r.set_mode(mode);
  zelto::IntReply reply;
  impl_->Invoke("Start", [&](zelto::Application::Stub& s, grpc::ClientContext* c) {
    return s.Start(c, r, &reply);
  });
  return reply.value();
}

void SdkApplication::Stop() {
  zelto::AppSession r;
  r.set_session(impl_->session);
  zelto::Empty reply;
  impl_->Invoke("Stop", [&](zelto::Application::Stub& s, grpc::ClientContext* c) {
    return s.Stop(c, r, &reply);
  });
}

void SdkApplication::SetUserAuthType(const std::string& account, int auth_type) {
  CheckTexts(kAppSource, "SetUserAuthType", {&account});
  const SdkWrite w{SdkWrite::Kind::kSetAuthType, account, "", "", auth_type};
  if (impl_->core->Intercept(w)) return;
  zelto::AuthTypeRequest r;
  r.set_session(impl_->session);
  r.set_account(account);
  r.set_auth_type(auth_type);
  zelto::Empty reply;
  impl_->Invoke("SetUserAuthType", [&](zelto::Application::Stub& s, grpc::ClientContext* c) {
    return s.SetUserAuthType(c, r, &reply);
  });
  impl_->core->Wrote(w);
}

bool SdkApplication::AccountUsesApplication(const std::string& account) {
  CheckTexts(kAppSource, "AccountUsesApplication", {&account});
  zelto::AppAccount r;
  r.set_session(impl_->session);
  r.set_account(account);
  zelto::BoolReply reply;
  impl_->Invoke("AccountUsesApplication", [&](zelto::Application::Stub& s, grpc::ClientContext* c) {
    return s.AccountUsesApplication(c, r, &reply);
  });
  return reply.value();
}

void SdkApplication::Connect(SdkEventSink* sink) {
  if (!sink) throw SdkError(kSdkErrorInvalidArg, kAppSource, "Connect: 没有事件接收者");
  Disconnect();
  auto link = std::make_shared<SdkEventLink>();
  impl_->Stub("Connect", &link->address, &link->channel);
  impl_->core->transport.Authorize(&link->context);
  link->session = impl_->session;
  link->sink = sink;
  std::thread thread(RunEvents, link);

  std::chrono::milliseconds timeout = impl_->core->Timeout();
  std::unique_lock<std::mutex> lock(link->mu);
  bool settled = link->cv.wait_for(lock, timeout,
                                   [&] { return link->state != SdkEventLink::State::kOpening; });
  if (!settled || link->state == SdkEventLink::State::kFailed) {
    grpc::Status failure =
        settled ? link->failure : grpc::Status(grpc::StatusCode::DEADLINE_EXCEEDED, "");
    lock.unlock();
    link->closing = true;
    link->context.TryCancel();
    thread.join();
    throw ErrorFromStatus(failure, kAppSource, "Connect", link->address, timeout,
                          impl_->core->transport.credential_file);
  }
  lock.unlock();
  std::lock_guard<std::mutex> guard(impl_->mu);
  impl_->link = std::move(link);
  impl_->thread = std::move(thread);
}

void SdkApplication::Disconnect() {
  std::shared_ptr<SdkEventLink> link;
  std::thread thread;
  {
    std::lock_guard<std::mutex> lock(impl_->mu);
    link = std::move(impl_->link);
    thread = std::move(impl_->thread);
  }
  if (!link) return;
  const bool in_callback = link->Close();
  link->context.TryCancel();
  if (thread.joinable()) {
    if (thread.get_id() == std::this_thread::get_id() || in_callback) {
      // Called from a callback, or a callback is still at work (a slow login check): the
      // thread ends on its own once the callback returns, delivering nothing more and
      // touching only the link it shares.
      thread.detach();
    } else {
      thread.join();
    }
  }
}

bool SdkApplication::Connected() const {
  std::lock_guard<std::mutex> lock(impl_->mu);
  return impl_->link && impl_->link->live;
}

}  // namespace norvane
