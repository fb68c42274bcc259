#include "transfer/ResumeState.h"

#include <algorithm>

namespace transfer {

void RangeSet::Add(std::uint64_t begin, std::uint64_t end) {
  if (begin >= end) return;
  // The first range that ends at or after begin may touch or overlap the new
  // one; every range from there that starts at or before end merges into it.
  auto first = std::lower_bound(ranges_.begin(), ranges_.end(), begin,
                                [](const ByteRange& r, std::uint64_t value) { return r.end < value; });
  auto last = first;
  while (last != ranges_.end() && last->begin <= end) {
    begin = std::min(begin, last->begin);
    end = std::max(end, last->end);
    ++last;
  }
  first = ranges_.erase(first, last);
  ranges_.insert(first, ByteRange{begin, end});
}

std::uint64_t RangeSet::Total() const {
  std::uint64_t total = 0;
  for (const ByteRange& r : ranges_) total += r.Length();
  return total;
}

bool RangeSet::Covers(std::uint64_t begin, std::uint64_t end) const {
  if (begin >= end) return true;
  const auto it = std::upper_bound(ranges_.begin(), ranges_.end(), begin,
                                   [](std::uint64_t value, const ByteRange& r) { return value < r.begin; });
  if (it == ranges_.begin()) return false;
  const ByteRange& holder = *(it - 1);
  return holder.begin <= begin && holder.end >= end;
}

std::vector<ByteRange> RangeSet::Gaps(std::uint64_t size) const {
  std::vector<ByteRange> gaps;
  std::uint64_t at = 0;
  for (const ByteRange& r : ranges_) {
    if (r.begin >= size) break;
    if (r.begin > at) gaps.push_back({at, r.begin});
    at = std::max(at, r.end);
  }
  if (at < size) gaps.push_back({at, size});
  return gaps;
}

std::uint64_t RangeSet::PrefixEnd() const {
  return !ranges_.empty() && ranges_.front().begin == 0 ? ranges_.front().end : 0;
}

void ResumeState::ForgetVersion() {
  size.reset();
  etag.clear();
  lastModified.clear();
  rangesWork = false;
  onDisk.Clear();
}

std::u16string PartPathFor(const std::u16string& path) { return path + u".vxpart"; }

std::u16string FetchedPath(const std::u16string& targetPath, const std::u16string& temporaryPath) {
  return temporaryPath.empty() ? targetPath : temporaryPath;
}

bool IsPlacedAt(const ResumeState& state, const std::u16string& path) {
  return !state.partOnDisk && state.size && state.targetPath == path;
}

ResumeState FreshState(const std::u16string& url, const std::u16string& path) {
  ResumeState state;
  state.url = url;
  state.targetPath = path;
  state.partPath = PartPathFor(path);
  return state;
}

}  // namespace transfer
