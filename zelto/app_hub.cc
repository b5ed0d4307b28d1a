#include "zelto/app_hub.h"

#include <openssl/crypto.h>

#include <algorithm>

namespace zelto {
namespace {

constexpr std::size_t kMaxSessions = 1024;
constexpr std::size_t kMaxAppText = 127;

grpc::Status Invalid(const std::string& message) {
  return grpc::Status(grpc::StatusCode::INVALID_ARGUMENT, message);
}

}  // namespace

bool AppHub::Connection::Write(const AppEvent& event) {
  std::lock_guard<std::mutex> lock(write_mu);
  return open && stream->Write(event);
}

grpc::Status AppHub::SetIdentifier(const std::string& session, const std::string& identifier) {
  if (session.empty()) return Invalid("application session is empty");
  if (identifier.empty()) return Invalid("application identifier is empty");
  if (identifier.size() > kMaxAppText) return Invalid("application identifier is too long");
  std::lock_guard<std::mutex> lock(mu_);
  if (sessions_.size() >= kMaxSessions && !sessions_.count(session))
    sessions_.erase(sessions_.begin());
  sessions_[session].identifier = identifier;
  return grpc::Status::OK;
}

grpc::Status AppHub::SetName(const std::string& session, const std::string& name) {
  if (session.empty()) return Invalid("application session is empty");
  if (name.empty()) return Invalid("application name is empty");
  if (name.size() > kMaxAppText) return Invalid("application name is too long");
  std::lock_guard<std::mutex> lock(mu_);
  if (sessions_.size() >= kMaxSessions && !sessions_.count(session))
    sessions_.erase(sessions_.begin());
  sessions_[session].name = name;
  return grpc::Status::OK;
}

grpc::Status AppHub::Register(const std::string& session) {
  std::lock_guard<std::mutex> lock(mu_);
  if (shutting_down_) {
    return grpc::Status(grpc::StatusCode::UNAVAILABLE, "the server is shutting down");
  }
  auto it = sessions_.find(session);
  if (it == sessions_.end() || it->second.identifier.empty() || it->second.name.empty()) {
    return grpc::Status(grpc::StatusCode::FAILED_PRECONDITION,
                        "set the application identifier and name before registering");
  }
  if (!holder_.empty() && holder_ != session && connection_) {
    // A live application keeps its registration; a dead one's is taken over.
    return grpc::Status(grpc::StatusCode::FAILED_PRECONDITION,
                        "application \"" + name_ + "\" is already registered by another client");
  }
  if (holder_ != session) {
    started_ = false;
    FailWaitersLocked();
  }
  holder_ = session;
  identifier_ = it->second.identifier;
  name_ = it->second.name;
  return grpc::Status::OK;
}

int AppHub::Start(const std::string& session) {
  std::lock_guard<std::mutex> lock(mu_);
  if (shutting_down_ || holder_.empty() || holder_ != session) return -1;
  // Only the registering session's own connection: one left over from an earlier holder
  // would hand this session's logins to someone else.
  if (!connection_ || connection_->session != session) return -2;
  started_ = true;
  return 0;
}

grpc::Status AppHub::Stop(const std::string& session) {
  std::lock_guard<std::mutex> lock(mu_);
  if (holder_.empty() || holder_ != session) {
    return grpc::Status(grpc::StatusCode::FAILED_PRECONDITION,
                        "the application is not registered by this client");
  }
  holder_.clear();
  started_ = false;
  FailWaitersLocked();
  return grpc::Status::OK;
}

bool AppHub::HoldsRegistration(const std::string& session) {
  std::lock_guard<std::mutex> lock(mu_);
  return !holder_.empty() && holder_ == session;
}

grpc::Status AppHub::ServeEvents(grpc::ServerContext* context, EventStream* stream) {
  AppMessage message;
  if (!stream->Read(&message) || !message.has_hello()) {
    return Invalid("the event connection must open with hello");
  }
  auto connection = std::make_shared<Connection>();
  connection->stream = stream;
  connection->session = message.hello().session();
  {
    std::lock_guard<std::mutex> lock(mu_);
    if (shutting_down_) {
      return grpc::Status(grpc::StatusCode::UNAVAILABLE, "the server is shutting down");
    }
    if (holder_.empty() || holder_ != message.hello().session()) {
      return grpc::Status(grpc::StatusCode::FAILED_PRECONDITION,
                          "register the application before connecting to its events");
    }
    if (connection_) {
      // The same client reconnecting: the older connection is finished, and the logins
      // sent on it will never be answered there.
      {
        std::lock_guard<std::mutex> wlock(connection_->write_mu);
        connection_->open = false;
      }
      FailWaitersLocked(connection_.get());
    }
    connection_ = connection;
  }
  AppEvent connected;
  connected.mutable_connected();
  connection->Write(connected);

  while (!context->IsCancelled() && stream->Read(&message)) {
    if (!message.has_verify_answer()) continue;
    std::lock_guard<std::mutex> lock(mu_);
    auto it = waiters_.find(message.verify_answer().request_id());
    if (it != waiters_.end() && it->second->connection == connection) {
      it->second->done = true;
      it->second->result = message.verify_answer().result();
      waiters_.erase(it);
      cv_.notify_all();
    }
  }
  {
    std::lock_guard<std::mutex> wlock(connection->write_mu);
    connection->open = false;
  }
  std::lock_guard<std::mutex> lock(mu_);
  if (connection_ == connection) {
    // Nobody is left to answer logins.
    connection_.reset();
    started_ = false;
    FailWaitersLocked();
  }
  return grpc::Status::OK;
}

AppHub::VerifyOutcome AppHub::Verify(const std::string& account, const std::string& password,
                                     std::chrono::milliseconds timeout, int* result) {
  std::shared_ptr<Connection> connection;
  auto waiter = std::make_shared<Waiter>();
  std::uint64_t id;
  {
    std::lock_guard<std::mutex> lock(mu_);
    if (!started_ || !connection_) return VerifyOutcome::kNoApplication;
    connection = connection_;
    id = next_request_++;
    waiter->connection = connection;
    waiters_[id] = waiter;
  }
  // The monotonic clock: a wall clock set back or forward meanwhile changes nothing.
  const auto deadline = std::chrono::steady_clock::now() + timeout;
  AppEvent event;
  LoginVerify* verify = event.mutable_login_verify();
  verify->set_request_id(id);
  verify->set_account(account);
  verify->set_password(password);
  verify->set_wait_ms(std::max<std::int64_t>(1, timeout.count()));
  bool sent = connection->Write(event);
  OPENSSL_cleanse(verify->mutable_password()->data(), verify->password().size());

  std::unique_lock<std::mutex> lock(mu_);
  if (!sent) {
    waiters_.erase(id);
    return VerifyOutcome::kNoApplication;
  }
  if (!cv_.wait_until(lock, deadline, [&] { return waiter->done; })) {
    waiters_.erase(id);
    return VerifyOutcome::kTimedOut;
  }
  *result = waiter->result;
  return VerifyOutcome::kAnswered;
}

void AppHub::StopApplication(bool final) {
  std::shared_ptr<Connection> connection;
  {
    std::lock_guard<std::mutex> lock(mu_);
    if (final) shutting_down_ = true;
    connection = connection_;
    holder_.clear();
    started_ = false;
    FailWaitersLocked();
  }
  if (connection) {
    AppEvent event;
    event.mutable_app_stopped();
    connection->Write(event);
  }
}

void AppHub::FailWaitersLocked(const Connection* connection) {
  // Logins waiting for an application that is gone are refused at once.
  for (auto it = waiters_.begin(); it != waiters_.end();) {
    if (connection && it->second->connection.get() != connection) {
      ++it;
      continue;
    }
    it->second->done = true;
    it->second->result = 1;
    it = waiters_.erase(it);
  }
  cv_.notify_all();
}

}  // namespace zelto
