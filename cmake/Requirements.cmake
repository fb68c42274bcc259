# The oldest system parts the code relies on, checked when configuring so that
# an older system stops here with a clear message instead of failing to
# compile somewhere later.
#   glibc 2.34: posix_spawn_file_actions_addclosefrom_np (the converter gets
#     none of our descriptors); pthread_mutex_clocklock (2.30); robust,
#     process-shared mutexes; per-thread locales (uselocale).
#   Linux headers 5.3: pidfd_open, to wait for the converter.
#   libcurl 7.85: CURLOPT_PROTOCOLS_STR / CURLOPT_REDIR_PROTOCOLS_STR.
include_guard(GLOBAL)
include(CheckCXXSourceCompiles)

set(VEXARO_MIN_GLIBC 2.34)
set(VEXARO_MIN_CURL 7.85.0)

function(vexaro_require_source result what source)
  set(CMAKE_REQUIRED_LIBRARIES Threads::Threads)
  check_cxx_source_compiles("${source}" ${result})
  if(NOT ${result})
    message(FATAL_ERROR "Vexaro needs ${what}; this system lacks it (see cmake/Requirements.cmake).")
  endif()
endfunction()

vexaro_require_source(VEXARO_HAVE_GLIBC "glibc ${VEXARO_MIN_GLIBC} or later" [[
#include <features.h>
#if !defined(__GLIBC__) || __GLIBC__ < 2 || (__GLIBC__ == 2 && __GLIBC_MINOR__ < 34)
#error too old
#endif
int main() { return 0; }]])

# glibc declares PTHREAD_MUTEX_ROBUST as an enumerator, so it cannot be tested
# with #ifdef; ask the compiler instead.
vexaro_require_source(VEXARO_HAVE_ROBUST_MUTEX "robust process-shared pthread mutexes with pthread_mutex_clocklock" [[
#include <pthread.h>
#include <time.h>
int main() {
  pthread_mutexattr_t a;
  pthread_mutexattr_init(&a);
  pthread_mutexattr_setrobust(&a, PTHREAD_MUTEX_ROBUST);
  pthread_mutexattr_setpshared(&a, PTHREAD_PROCESS_SHARED);
  pthread_mutex_t m;
  timespec t{};
  pthread_mutex_clocklock(&m, CLOCK_MONOTONIC, &t);
  return pthread_mutex_consistent(&m);
}]])

vexaro_require_source(VEXARO_HAVE_SPAWN_CLOSEFROM "posix_spawn_file_actions_addclosefrom_np (glibc ${VEXARO_MIN_GLIBC})" [[
#include <spawn.h>
int main() {
  posix_spawn_file_actions_t a;
  posix_spawn_file_actions_init(&a);
  return posix_spawn_file_actions_addclosefrom_np(&a, 3);
}]])

vexaro_require_source(VEXARO_HAVE_PIDFD_OPEN "pidfd_open (Linux 5.3 headers)" [[
#include <sys/syscall.h>
int main() { return SYS_pidfd_open; }]])

vexaro_require_source(VEXARO_HAVE_USELOCALE "per-thread locales (newlocale, uselocale)" [[
#include <locale.h>
int main() {
  locale_t c = newlocale(LC_ALL_MASK, "C", (locale_t)0);
  return uselocale(c) == (locale_t)0;
}]])

find_package(CURL)
if(NOT CURL_FOUND)
  message(FATAL_ERROR "Vexaro needs libcurl ${VEXARO_MIN_CURL} or later with its headers "
                      "(Debian: libcurl4-openssl-dev); none was found.")
endif()
if(CURL_VERSION_STRING VERSION_LESS VEXARO_MIN_CURL)
  message(FATAL_ERROR "Vexaro needs libcurl ${VEXARO_MIN_CURL} or later (CURLOPT_PROTOCOLS_STR); "
                      "found ${CURL_VERSION_STRING}.")
endif()
