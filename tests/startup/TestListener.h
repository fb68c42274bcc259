// A stand-in for a first instance's hand-off socket: listens at a path on a
// thread of its own with blocking socket calls, takes one connection, keeps
// every record that arrives on it and answers each (unless told not to).
#pragma once

#include <QString>
#include <future>
#include <thread>
#include <vector>

#include "startup/Handoff.h"

namespace testsupport {

class TestListener {
 public:
  // Returns once it listens (or failed to).
  explicit TestListener(const QString& path, bool answer = true);
  ~TestListener();  // Join()
  TestListener(const TestListener&) = delete;
  TestListener& operator=(const TestListener&) = delete;

  bool Listening() const { return listening_; }
  // Waits until the connection has ended (or nothing came for 10 s) and
  // returns the records in order of arrival.
  const std::vector<startup::HandoffRecord>& Records();

 private:
  void Serve(std::promise<bool> ready);

  QString path_;
  bool answer_;
  bool listening_ = false;
  std::vector<startup::HandoffRecord> records_;
  std::thread thread_;
};

}  // namespace testsupport
