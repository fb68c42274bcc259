// A download row that records what the worker shows on it, for the transfer
// and conversion tests. Calls arrive on the worker thread; reads come from the
// test thread, so every access takes the row's lock.
#pragma once

#include <cstdint>
#include <functional>
#include <mutex>
#include <string>
#include <vector>

#include "transfer/DownloadRow.h"
#include "transfer/ResumeState.h"

namespace testsupport {

class RecordingRow : public transfer::DownloadRow {
 public:
  struct Record {
    std::vector<std::u16string> statusTexts;
    std::vector<std::u16string> detailTexts;
    std::vector<int> barPositions;
    std::vector<std::uint32_t> barColours;
    int cancelHidden = 0;
    int cancelShown = 0;
    int finishedNotices = 0;
    bool finishedWhenNotified = false;
    std::vector<transfer::ResumeState> states;
  };

  explicit RecordingRow(std::u16string targetPath = u"") { m_targetPath = std::move(targetPath); }

  // Runs after each detail text has been recorded, on the worker thread,
  // inside OnProgress before it tests the stop event (e.g. to click Cancel).
  std::function<void(const std::u16string&)> onDetail;
  // Likewise after each status text.
  std::function<void(const std::u16string&)> onStatus;
  // Runs after each reported state, on the worker thread.
  std::function<void(const transfer::ResumeState&)> onState;
  bool barExists = true;

  void SetStatusText(const std::u16string& text) override {
    Locked([&](Record& r) { r.statusTexts.push_back(text); });
    if (onStatus) onStatus(text);
  }
  void SetDetailText(const std::u16string& text) override {
    Locked([&](Record& r) { r.detailTexts.push_back(text); });
    if (onDetail) onDetail(text);
  }
  void SetBarPosition(int position) override { Locked([&](Record& r) { r.barPositions.push_back(position); }); }
  void SetBarColour(std::uint32_t rgb) override { Locked([&](Record& r) { r.barColours.push_back(rgb); }); }
  void HideCancel() override { Locked([](Record& r) { ++r.cancelHidden; }); }
  void ShowCancel() override { Locked([](Record& r) { ++r.cancelShown; }); }
  bool BarExists() const override { return barExists; }
  void OnResumeState(const transfer::ResumeState& state) override {
    Locked([&](Record& r) { r.states.push_back(state); });
    if (onState) onState(state);
  }
  void NotifyFinished() override {
    const bool finished = m_finished;
    Locked([&](Record& r) {
      ++r.finishedNotices;
      r.finishedWhenNotified = finished;
    });
  }

  Record Snapshot() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return record_;
  }
  std::u16string LastStatus() const {
    const Record r = Snapshot();
    return r.statusTexts.empty() ? u"" : r.statusTexts.back();
  }
  std::u16string LastDetail() const {
    const Record r = Snapshot();
    return r.detailTexts.empty() ? u"" : r.detailTexts.back();
  }

 private:
  template <typename F>
  void Locked(F&& f) {
    std::lock_guard<std::mutex> lock(mutex_);
    f(record_);
  }

  mutable std::mutex mutex_;
  Record record_;
};

}  // namespace testsupport
