// The Save-As offer: the filter text that Config::BuildSaveFilter writes, the
// choices that run parallel to its pairs, and the preselection of a pair from
// the request's format number.
//
// Filter text: pairs of NUL-terminated UTF-16 strings, a display text such as
// "Audio - MP3 (*.mp3)" and a pattern such as ".mp3" (a dot and the
// extension, no asterisk), the whole list ended by one more NUL. Pair k
// (counted from 1) belongs to choice k - 1 of the choice list.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

namespace config {

// Code units of the filter buffer the launch sequence hands to the builder.
inline constexpr std::size_t kSaveFilterLength = 2048;

// One Save-As choice: what the chosen pair means for the download.
struct SaveChoice {
  std::u16string extension;  // without dot
  std::u16string ffmpeg;     // converter arguments; empty for the native pair
  // The pair stands for the file's own format: keep the download unconverted.
  // The builder's native index is 1 also when no pair is native (the native
  // category is excluded from the offer, or cut off because the buffer was
  // full), so a caller deciding "convert or not" should ask this flag.
  bool native = false;
};

// One pair of the filter text, as the dialog shows it.
struct FilterPair {
  std::u16string text;
  std::u16string pattern;
};

// The pairs of a filter text in a buffer of capacity code units, in order. A
// pair cut off by the end of the buffer, or without a pattern, ends the list.
std::vector<FilterPair> SplitSaveFilter(const char16_t* filter, std::size_t capacity);

// The 1-based pair to preselect. format is read as a decimal number (empty or
// non-numeric reads as 0). -1, and any number outside extensions (negative or
// too large), give nativeIndex. Otherwise the first pair whose pattern, without
// its leading dots, equals extensions[number] ignoring the case of A-Z; when no
// pair has it (or the filter is empty), nativeIndex.
std::int32_t PreselectFilterIndex(const char16_t* filter, std::size_t capacity,
                                  const std::vector<std::u16string>& extensions,
                                  const std::u16string& format, std::int32_t nativeIndex);

}  // namespace config
