// Pictures of the windows on a real X server (Xvfb): the driver opens each window on the
// demo directory, then drives the norvane program itself in interface mode, and saves them
// under the build tree's screenshots/ folder for a person to look at; here each picture must
// exist and show something.
#include <fcntl.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <QColor>
#include <QImage>
#include <chrono>
#include <map>
#include <string>
#include <thread>

namespace {

const std::string kFolder = NORVANE_BINARY_DIR "/screenshots";

bool Exists(const std::string& path) {
  struct stat st;
  return stat(path.c_str(), &st) == 0;
}

// Waits for `pid` up to `limit`; kills it after that. The exit status, or -1.
int Wait(pid_t pid, std::chrono::seconds limit) {
  const auto end = std::chrono::steady_clock::now() + limit;
  int status = 0;
  while (std::chrono::steady_clock::now() < end) {
    if (waitpid(pid, &status, WNOHANG) == pid) return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
  }
  kill(pid, SIGKILL);
  waitpid(pid, &status, 0);
  return -1;
}

class Xvfb {
 public:
  Xvfb() {
    for (int n = 90; n < 190 && pid_ <= 0; ++n) {
      const std::string number = std::to_string(n);
      if (Exists("/tmp/.X11-unix/X" + number) || Exists("/tmp/.X" + number + "-lock")) continue;
      display_ = ":" + number;
      pid_ = fork();
      if (pid_ == 0) {
        int null = open("/dev/null", O_WRONLY);
        dup2(null, 1);
        dup2(null, 2);
        execlp("Xvfb", "Xvfb", display_.c_str(), "-screen", "0", "1280x1024x24", "-nolisten", "tcp",
               static_cast<char*>(nullptr));
        _exit(127);
      }
      for (int i = 0; i < 100 && !Exists("/tmp/.X11-unix/X" + number); ++i) {
        std::this_thread::sleep_for(std::chrono::milliseconds(100));
      }
      if (!Exists("/tmp/.X11-unix/X" + number)) {
        Stop();
        display_.clear();
      }
    }
  }
  ~Xvfb() { Stop(); }
  const std::string& display() const { return display_; }

 private:
  void Stop() {
    if (pid_ > 0) {
      kill(pid_, SIGTERM);
      Wait(pid_, std::chrono::seconds(10));
    }
    pid_ = -1;
  }
  std::string display_;
  pid_t pid_ = -1;
};

// A picture shows something when no one colour covers nearly all of it and it has more
// than a handful of colours (text, icons, frames).
void ExpectNotBlank(const std::string& name) {
  const QImage image(QString::fromStdString(kFolder + "/" + name + ".png"));
  ASSERT_FALSE(image.isNull()) << name;
  EXPECT_GE(image.width(), 200) << name;
  EXPECT_GE(image.height(), 40) << name;
  std::map<QRgb, long> colours;
  for (int y = 0; y < image.height(); ++y) {
    for (int x = 0; x < image.width(); ++x) ++colours[image.pixel(x, y)];
  }
  long most = 0;
  for (const auto& [colour, count] : colours) most = std::max(most, count);
  EXPECT_GE(colours.size(), 16u) << name;
  EXPECT_LT(static_cast<double>(most) / (image.width() * image.height()), 0.97) << name;
}

TEST(ScreenshotsTest, EveryWindowIsPicturedOnARealXServer) {
  Xvfb xvfb;
  ASSERT_FALSE(xvfb.display().empty()) << "Xvfb did not start";
  std::system(("rm -rf '" + kFolder + "'").c_str());
  const pid_t driver = fork();
  if (driver == 0) {
    setenv("DISPLAY", xvfb.display().c_str(), 1);
    setenv("QT_QPA_PLATFORM", "xcb", 1);
    execl(SCREENSHOT_DRIVER, SCREENSHOT_DRIVER, kFolder.c_str(), static_cast<char*>(nullptr));
    _exit(127);
  }
  ASSERT_EQ(Wait(driver, std::chrono::seconds(300)), 0);
  for (const char* name :
       {"main_window", "wizard_step1", "wizard_step2", "wizard_step3", "dept_dialog",
        "excluded_users", "specified_users", "progress_window", "plan_dialog",
        "program_main_window", "program_wizard_step1", "program_wizard_step2",
        "program_wizard_step3", "program_excluded_users"}) {
    ExpectNotBlank(name);
  }
}

}  // namespace
