// Accounts, their fields and authentication type, and the tasks of one account's writes.
#include <memory>

#include "zelto/store_internal.h"

namespace zelto {

std::optional<std::int64_t> Store::UserId(const std::string& account) {
  Statement s(this, "SELECT id FROM user WHERE account = ?1");
  s.Bind(1, account);
  if (s.Step()) return s.Int(0);
  return std::nullopt;
}

std::int64_t Store::RequireUser(const std::string& account) {
  if (account.empty()) throw StoreError(StoreCode::kInvalid, "account is empty");
  std::optional<std::int64_t> id = UserId(account);
  if (!id) throw StoreError(StoreCode::kNotFound, "account " + Quote(account) + " does not exist");
  return *id;
}

void Store::AddUser(const std::string& account, int auth_type, WriteDone done) {
  Write(std::move(done), AddUserStep(account, auth_type));
}

Store::Step Store::AddUserStep(const std::string& account, int auth_type) {
  CheckAccount(account);
  CheckAuthType(auth_type);
  return [this, &account, auth_type] {
    if (UserId(account)) {
      throw StoreError(StoreCode::kExists, "account " + Quote(account) + " already exists");
    }
    Statement s(this, "INSERT INTO user(account, auth_type) VALUES(?1, ?2)");
    s.Bind(1, account).Bind(2, static_cast<std::int64_t>(auth_type)).Run();
  };
}

void Store::RemoveUser(const std::string& account, WriteDone done) {
  Write(std::move(done), [&] {
    std::int64_t user = RequireUser(account);
    Statement s(this, "DELETE FROM user WHERE id = ?1");
    s.Bind(1, user).Run();
  });
}

void Store::SetUserBasicInfo(const BasicInfo& info, WriteDone done) {
  Write(std::move(done), BasicInfoStep(info));
}

Store::Step Store::BasicInfoStep(const BasicInfo& info) {
  CheckText(info.name(), "name", kMaxBasicTextBytes);
  CheckNumber(info.gender(), "gender", 2);
  CheckText(info.mobile(), "mobile", kMaxBasicTextBytes);
  CheckText(info.email(), "email", kMaxBasicTextBytes);
  CheckText(info.phone(), "phone", kMaxBasicTextBytes);
  CheckNumber(info.auth_type(), "authentication type", kMaxAuthType);
  return [this, &info] {
    std::int64_t user = RequireUser(info.account());
    Statement s(
        this,
        "UPDATE user SET name = COALESCE(?2, name), gender = COALESCE(?3, gender), "
        "mobile = COALESCE(?4, mobile), email = COALESCE(?5, email), "
        "phone = COALESCE(?6, phone), auth_type = COALESCE(?7, auth_type) WHERE id = ?1 AND "
        "(name, gender, mobile, email, phone, auth_type) IS NOT (COALESCE(?2, name), "
        "COALESCE(?3, gender), COALESCE(?4, mobile), COALESCE(?5, email), "
        "COALESCE(?6, phone), COALESCE(?7, auth_type))");
    s.Bind(1, user)
        .BindText(2, info.name())
        .BindNumber(3, info.gender())
        .BindText(4, info.mobile())
        .BindText(5, info.email())
        .BindText(6, info.phone())
        .BindNumber(7, info.auth_type())
        .Run();
  };
}

void Store::SetUserDetails(const Details& d, WriteDone done) {
  Write(std::move(done), DetailsStep(d));
}

Store::Step Store::DetailsStep(const Details& d) {
  CheckNumber(d.age(), "age", 200);
  CheckNumber(d.birthday(), "birthday", 99991231);
  CheckNumber(d.blood_type(), "blood type", 9);
  CheckText(d.fax(), "fax", kMaxDetailTextBytes);
  CheckText(d.homepage(), "homepage", kMaxDetailTextBytes);
  CheckText(d.address(), "address", kMaxDetailTextBytes);
  CheckText(d.postcode(), "postcode", kMaxDetailTextBytes);
  CheckText(d.country(), "country", kMaxDetailTextBytes);
  CheckText(d.province(), "province", kMaxDetailTextBytes);
  CheckText(d.city(), "city", kMaxDetailTextBytes);
  CheckText(d.college(), "college", kMaxDetailTextBytes);
  CheckText(d.memo(), "memo", kMaxMemoBytes);
  CheckText(d.position(), "position", kMaxDetailTextBytes);
  CheckNumber(d.type(), "type", 255);
  return [this, &d] {
    std::int64_t user = RequireUser(d.account());
    Statement s(this,
                "UPDATE user SET age = COALESCE(?2, age), birthday = COALESCE(?3, birthday), "
                "blood_type = COALESCE(?4, blood_type), fax = COALESCE(?5, fax), "
                "homepage = COALESCE(?6, homepage), address = COALESCE(?7, address), "
                "postcode = COALESCE(?8, postcode), country = COALESCE(?9, country), "
                "province = COALESCE(?10, province), city = COALESCE(?11, city), "
                "college = COALESCE(?12, college), memo = COALESCE(?13, memo), "
                "position = COALESCE(?14, position), type = COALESCE(?15, type) WHERE id = ?1 AND "
                "(age, birthday, blood_type, fax, homepage, address, postcode, country, province, "
                "city, college, memo, position, type) IS NOT (COALESCE(?2, age), "
                "COALESCE(?3, birthday), COALESCE(?4, blood_type), COALESCE(?5, fax), "
                "COALESCE(?6, homepage), COALESCE(?7, address), COALESCE(?8, postcode), "
                "COALESCE(?9, country), COALESCE(?10, province), COALESCE(?11, city), "
                "COALESCE(?12, college), COALESCE(?13, memo), COALESCE(?14, position), "
                "COALESCE(?15, type))");
    s.Bind(1, user)
        .BindNumber(2, d.age())
        .BindNumber(3, d.birthday())
        .BindNumber(4, d.blood_type())
        .BindText(5, d.fax())
        .BindText(6, d.homepage())
        .BindText(7, d.address())
        .BindText(8, d.postcode())
        .BindText(9, d.country())
        .BindText(10, d.province())
        .BindText(11, d.city())
        .BindText(12, d.college())
        .BindText(13, d.memo())
        .BindText(14, d.position())
        .BindNumber(15, d.type())
        .Run();
  };
}

bool Store::UserExists(const std::string& account) {
  return Read([&] { return !account.empty() && UserId(account).has_value(); });
}

void Store::SetUserAuthType(const std::string& account, int auth_type, WriteDone done) {
  Write(std::move(done), AuthTypeStep(account, auth_type));
}

Store::Step Store::AuthTypeStep(const std::string& account, int auth_type) {
  CheckAuthType(auth_type);
  return [this, &account, auth_type] {
    std::int64_t user = RequireUser(account);
    Statement s(this, "UPDATE user SET auth_type = ?2 WHERE id = ?1 AND auth_type IS NOT ?2");
    s.Bind(1, user).Bind(2, static_cast<std::int64_t>(auth_type)).Run();
  };
}

Store::Step Store::StepOf(const UserWrite& w) {
  switch (w.op_case()) {
    case UserWrite::kAddUser:
      return AddUserStep(w.add_user().account(), w.add_user().auth_type());
    case UserWrite::kMoveUser:
      return MoveUserStep(w.move_user().account(), w.move_user().old_ref(),
                          w.move_user().new_ref());
    case UserWrite::kTakeUserOut:
      return TakeUserOutStep(w.take_user_out().account(), w.take_user_out().ref());
    case UserWrite::kSetAuthType:
      return AuthTypeStep(w.set_auth_type().account(), w.set_auth_type().auth_type());
    case UserWrite::kBasicInfo:
      return BasicInfoStep(w.basic_info());
    case UserWrite::kDetails:
      return DetailsStep(w.details());
    case UserWrite::OP_NOT_SET:
      break;
  }
  throw StoreError(StoreCode::kInvalid, "a write in the task names no operation");
}

void Store::RunTask(const WriteTask& task, TaskDone done) {
  struct Progress {
    std::vector<Step> steps;
    std::size_t done = 0;
    std::exception_ptr error;  // the write that ended the task
  };
  auto progress = std::make_shared<Progress>();
  progress->steps.reserve(static_cast<std::size_t>(task.writes_size()));
  for (const UserWrite& w : task.writes()) {
    try {
      progress->steps.push_back(StepOf(w));
    } catch (...) {
      // Refused before running: the writes before it still run, none after it.
      progress->error = std::current_exception();
      break;
    }
  }
  if (progress->steps.empty()) {
    done(0, progress->error);
    return;
  }
  Write(
      [progress, done = std::move(done)](std::exception_ptr error) {
        // An error here is the batch's own (its commit failed): nothing of the task stayed.
        if (error) {
          done(0, error);
        } else {
          done(progress->done, progress->error);
        }
      },
      [this, progress] {
        for (Step& step : progress->steps) {
          Statement(this, "SAVEPOINT step").Run();
          try {
            step();
          } catch (...) {
            progress->error = std::current_exception();
            // The whole transaction is gone (disk full, I/O): the batch fails with this error.
            if (sqlite3_get_autocommit(db_)) throw;
            sqlite3_exec(db_, "ROLLBACK TO step", nullptr, nullptr, nullptr);
            sqlite3_exec(db_, "RELEASE step", nullptr, nullptr, nullptr);
            return;
          }
          Statement(this, "RELEASE step").Run();
          ++progress->done;
        }
      });
}

std::optional<int> Store::AuthType(const std::string& account) {
  return Read([&]() -> std::optional<int> {
    Statement s(this, "SELECT auth_type FROM user WHERE account = ?1");
    s.Bind(1, account);
    if (s.Step()) return static_cast<int>(s.Int(0));
    return std::nullopt;
  });
}

}  // namespace zelto
