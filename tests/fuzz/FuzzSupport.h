// Shared by the fuzz programs: a private data home, raw files, text made from
// fuzz bytes, the check that stops a run, and the invariants of a Save-As
// filter.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "config/SaveFilter.h"

namespace fuzzsupport {

// Points the data, cache and runtime folders and the lock scope at a fresh
// temporary folder (under $TMPDIR), removed at exit, and creates the data
// folder. Call once from LLVMFuzzerInitialize, before any store is used: the
// data folder is found once per process.
void UsePrivateDataHome();
// The temporary folder that holds the data home, without a trailing '/'.
std::string HomeFolder();
// <data folder>/name, as UTF-8 and as the stores take it.
std::string DataFile(const std::string& name);
std::u16string DataFile16(const std::string& name);

void WriteBytes(const std::string& path, const std::uint8_t* data, std::size_t size);

// Little-endian code units, an odd last byte dropped: how a store file's
// bytes become text.
std::u16string Utf16FromBytes(const std::string& bytes);

// Prints where and what, then aborts, so libFuzzer keeps the input.
[[noreturn]] void Fail(const char* file, int line, const char* what);

// What every filter the builder writes must satisfy: nothing outside the
// capacity (the caller allocates exactly capacity units, so AddressSanitizer
// sees a write past it), a list ended by its extra NUL, one appended choice
// per pair in the same order with the pair's extension, a native index that
// names the native choice or is 1.
void CheckSaveFilter(const char16_t* filter, std::size_t capacity,
                     const std::vector<config::SaveChoice>& choices, std::size_t choicesBefore,
                     std::int32_t nativeIndex);

}  // namespace fuzzsupport

#define FUZZ_CHECK(condition) \
  ((condition) ? static_cast<void>(0) : ::fuzzsupport::Fail(__FILE__, __LINE__, #condition))
