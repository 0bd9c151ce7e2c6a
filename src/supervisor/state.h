// The supervisor record: all state of the process, shared by the main thread
// and the watchdog thread through one pointer.
#pragma once

#include "util/fixed_paths.h"

#include <atomic>
#include <cstdint>
#include <pthread.h>
#include <sys/types.h>

constexpr int MAX_PROCESSES = 4;
constexpr const char* DEFAULT_PROCESS_NAME = "quorin-dpi-inner";

// The record lies in zero-filled static storage, where a page costs memory
// only once it is written. A text is written from its start, so each text
// that is set dirties the page its start lies in; the small fields sit just
// before a text's start, in a page that text dirties anyway, and never make
// a page of their own dirty.
// A moment as the state file gives it: seconds since the epoch, and seconds
// of the monotonic clock, which a clock step at boot does not move.
struct Stamp {
    int64_t real = 0;
    int64_t mono = 0;
};

// Ends of one kind (how, code) counted since start-up.
struct EndCount {
    uint32_t count = 0;
    int16_t code = 0;
    uint8_t how = 0;
};
constexpr int END_COUNT_KINDS = 6;
constexpr int REFUSAL_TEXT_SIZE = 80;
constexpr int RECORD_VERSION_SIZE = 32;

// What the state file tells of a slot beyond its pid. Written by the main
// thread under facts_lock; read under it by whichever thread writes the file.
struct SlotFacts {
    Stamp started;
    int32_t start_code = 0;
    uint8_t end_how = 0;
    int32_t end_code = 0;
    Stamp ended;
    uint32_t other_ends = 0;        // ends of kinds beyond the table
    EndCount ends[END_COUNT_KINDS];
};

// What the state file tells of the instance; guarded as SlotFacts.
struct InstanceFacts {
    Stamp changed;                  // the newest change's moment
    Stamp started;
    int32_t pid = 0;
    uint64_t start_ticks = 0;       // the process's start in clock ticks since boot
    uint8_t umask_takes_bits = 0;   // the file's mode must be set again
    uint32_t pass = 0;
    Stamp pass_started;
    int32_t data_dir = 0;
    int32_t restart_code = 0;
    uint32_t segv_count = 0;
    int32_t delay_slot = 0;         // 1 + the slot whose restart delay runs, or 0
    uint32_t delay_seconds = 0;
    Stamp delay_due;
    int32_t install_code = 0;       // 0: no install since start-up
    uint8_t install_outcome = 0;
    Stamp install_began;
    Stamp install_ended;
    uint32_t refusals = 0;          // packages refused since start-up
    Stamp refused_at;
    char refusal[REFUSAL_TEXT_SIZE] = {}; // the newest one's reason
    Stamp record_deleted_at;
    char record_deleted[RECORD_VERSION_SIZE] = {}; // an outdated record's version, until an install
};

struct WatchedProcess {
    SlotFacts facts;
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
    // The state file: facts_lock guards the facts; state_busy is held by the
    // thread writing the file, state_pending asks it for one more write.
    pthread_mutex_t facts_lock = PTHREAD_MUTEX_INITIALIZER;
    std::atomic<int32_t> state_busy{0};
    std::atomic<int32_t> state_pending{0};
    // Held by the thread writing the file: whether it keeps the file at the
    // state file's name and a spare of our own beside it (else the next
    // write makes a new file and renames it over the name), their
    // descriptors, lengths and inode numbers. All zero at first, which keeps
    // this record out of the executable's initialised data.
    int32_t files_kept = 0;
    int32_t state_fd = 0;
    int32_t spare_fd = 0;
    int32_t state_len = 0;
    int32_t spare_len = 0;
    ino_t state_ino = 0;
    ino_t spare_ino = 0;
    // The file system cannot swap two names: every write makes a new file.
    int32_t swap_refused = 0;
    InstanceFacts facts;
    char run_file_path[PATH_TEXT_SIZE] = {};
    WatchedProcess processes[MAX_PROCESSES];
};

static_assert(std::atomic<int32_t>::is_always_lock_free, "slot fields must be lock-free");
