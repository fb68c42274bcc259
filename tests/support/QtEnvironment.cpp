// The QApplication of a window test program, made once before its tests run
// and deleted after them. Compiled into each such program (not into a
// library) so its registration is always linked. The platform plugin comes
// from QT_QPA_PLATFORM, which CTest sets to "offscreen".
#include <gtest/gtest.h>

#include <QApplication>

namespace {

class QtEnvironment : public ::testing::Environment {
 public:
  void SetUp() override { app_ = new QApplication(argc_, argv_); }
  void TearDown() override {
    delete app_;
    app_ = nullptr;
  }

 private:
  int argc_ = 1;
  char name_[16] = "vexaro-test";
  char* argv_[2] = {name_, nullptr};
  QApplication* app_ = nullptr;
};

::testing::Environment* const kQtEnvironment = ::testing::AddGlobalTestEnvironment(new QtEnvironment);

}  // namespace
