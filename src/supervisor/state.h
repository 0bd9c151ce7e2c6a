// The supervisor record: all state of the process, shared by the main thread
// and the watchdog thread through one pointer.
#pragma once

#include "util/fixed_paths.h"

#include <atomic>
#include <cstdint>
#include <pthread.h>

constexpr int MAX_PROCESSES = 4;
constexpr const char* DEFAULT_PROCESS_NAME = "quorin-dpi-inner";

// The record lies in zero-filled static storage, where a page costs memory
// only once it is written. A text is written from its start, so each text
// that is set dirties the page its start lies in; the small fields sit just
// before a text's start, in a page that text dirties anyway, and never make
// a page of their own dirty.
struct WatchedProcess {
    // The three fields below are touched by both threads; neither thread
    // ever waits for the other, so each is a lock-free atomic.
    std::atomic<uint32_t> miss_count{0};
    std::atomic<int32_t> watchdog_killed{0};
    std::atomic<int32_t> pid{0};
    char name[PATH_TEXT_SIZE] = {};
    char alive_path[PATH_TEXT_SIZE] = {};
};

struct SupervisorState {
    uint32_t segv_restart_count = 0;
    // Held by the watchdog from reading a slot's pid to its kill and mark,
    // and by the main thread while it takes a pid out of a slot: a pid the
    // watchdog signals is always an uncollected child, never a reused number.
    pthread_mutex_t slot_lock = PTHREAD_MUTEX_INITIALIZER;
    int32_t daemon_flag = 0;
    int32_t data_dir_mode = 0;
    int32_t run_fd = 0;
    int32_t process_count = 0;
    char run_file_path[PATH_TEXT_SIZE] = {};
    WatchedProcess processes[MAX_PROCESSES];
};

static_assert(std::atomic<int32_t>::is_always_lock_free, "slot fields must be lock-free");
