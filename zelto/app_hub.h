// The registration of the authentication application and its event connection: who holds
// the registration, whether it is started, and the login verifications waiting for its
// answer.
#ifndef NORVANE_ZELTO_APP_HUB_H_
#define NORVANE_ZELTO_APP_HUB_H_

#include <grpcpp/grpcpp.h>

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <map>
#include <memory>
#include <mutex>
#include <string>

#include "zelto/proto/zelto.grpc.pb.h"

namespace zelto {

using EventStream = grpc::ServerReaderWriter<AppEvent, AppMessage>;

class AppHub {
 public:
  enum class VerifyOutcome { kAnswered, kNoApplication, kTimedOut };

  // Session bookkeeping; errors come back as statuses ready to return.
  grpc::Status SetIdentifier(const std::string& session, const std::string& identifier);
  grpc::Status SetName(const std::string& session, const std::string& name);
  grpc::Status Register(const std::string& session);
  int Start(const std::string& session);
  grpc::Status Stop(const std::string& session);
  bool HoldsRegistration(const std::string& session);

  // Serves one event connection until the client closes it, the application is stopped
  // or the server shuts down. Runs on the handler's thread.
  grpc::Status ServeEvents(grpc::ServerContext* context, EventStream* stream);

  // Raises the login-verification event and waits for the answer. The event tells the
  // application how long the server waits for it.
  VerifyOutcome Verify(const std::string& account, const std::string& password,
                       std::chrono::milliseconds timeout, int* result);

  // Raises the application-stopped event and drops the registration. With `final`, no
  // further registration or connection is accepted (server shutdown).
  void StopApplication(bool final);

 private:
  struct Connection {
    EventStream* stream = nullptr;
    std::string session;  // the registration's session that opened it
    std::mutex write_mu;  // one writer at a time; also guards `open`
    bool open = true;
    bool Write(const AppEvent& event);
  };
  struct Waiter {
    std::shared_ptr<Connection> connection;  // the one the event went out on
    bool done = false;
    int result = 1;
  };
  struct Pending {
    std::string identifier;
    std::string name;
  };

  // Refuses the logins waiting for an answer: all of them, or those sent on `connection`.
  void FailWaitersLocked(const Connection* connection = nullptr);

  std::mutex mu_;
  std::condition_variable cv_;
  // Guarded by mu_.
  std::map<std::string, Pending> sessions_;
  std::string holder_;  // session holding the registration; empty when none
  std::string identifier_, name_;
  bool started_ = false;
  bool shutting_down_ = false;
  std::shared_ptr<Connection> connection_;
  std::map<std::uint64_t, std::shared_ptr<Waiter>> waiters_;
  std::uint64_t next_request_ = 1;
};

}  // namespace zelto

#endif  // NORVANE_ZELTO_APP_HUB_H_
