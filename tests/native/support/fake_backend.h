#pragma once
// An in-memory stand-in for the supervisor's operating-system seam: files, directories and
// processes are records that tests can inspect and change.

#include <chrono>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <set>
#include <string>
#include <vector>

#include "supervisor/core.h"

namespace corvid::testing {

// A process creation held at its start until the test lets it go: the launch it belongs to stays
// in flight meanwhile. Let go at the latest when this is destroyed, so a failed test hangs nothing.
class HeldCreate {
 public:
  HeldCreate();
  ~HeldCreate();
  HeldCreate(const HeldCreate&) = delete;
  HeldCreate& operator=(const HeldCreate&) = delete;

  // Waits until the creation has arrived and is held.
  void wait_held();
  void let_go();

 private:
  friend class FakeBackend;
  struct Gate;
  std::shared_ptr<Gate> gate_;
};

class FakeBackend : public CoreBackend {
 public:
  struct Process {
    std::uint32_t pid = 0;
    std::string core_path;
    std::string command_line;
    std::string work_dir;
    bool exited = false;
    std::uint32_t exit_code = 0;
    bool terminated = false;   // ended through terminate_and_wait
    bool handles_open = true;  // dropping the child closes them and, as its job does, ends it
    bool never_ends = false;   // ending it does nothing: it runs until exit_process
    std::optional<Error> poll_error;
  };

  static constexpr const char* kInstallDir = "C:\\Program Files\\Corvid";

  FakeBackend();

  // Setup.
  void set_install_dir(Result<std::string> dir);
  void add_existing(const std::string& path);
  void remove_existing(const std::string& path);
  // Every later write or creation fails as the OS would: with this text and code.
  void fail_writes(std::string os_text, std::uint32_t os_code);
  void fail_creates(std::string os_text, std::uint32_t os_code);
  // Called inside create_process, before the process exists (to land a race there).
  void on_create(std::function<void()> hook);
  // Holds the next process creation in `held` (see HeldCreate).
  void hold_next_create(HeldCreate& held);
  // Called inside poll before anything else (to throw from a call the watchdog makes).
  void on_poll(std::function<void()> hook);
  // Tags every file and directory write with who made it (for impersonation checks).
  void identity_probe(std::function<std::string()> probe);
  std::map<std::string, std::string> written_by() const;
  // The descriptor read_entry reports for one path (compared as given); every other path reads as
  // admin_only_snapshot(). Failing, the read fails.
  void set_security(const std::string& path, Result<SecuritySnapshot> snapshot);
  // The reparse tag read_entry reports for one path (compared as given): a junction is
  // 0xa0000003. prepare_core_files does not see it (set_oddity).
  void set_reparse_tag(const std::string& path, std::uint32_t tag);
  void set_volume_kind(VolumeKind kind);
  static SecuritySnapshot admin_only_snapshot();
  // Every path read_entry read, in order.
  std::vector<std::string> security_reads() const;
  // What prepare_core_files finds at one path (compared as given): a reparse point, a file with
  // a second link elsewhere, or an entry that resolves to another place.
  enum class Oddity { kReparsePoint, kHardLinked, kElsewhere };
  void set_oddity(const std::string& path, Oddity oddity);
  // The files written or re-protected with kCoreConfigSddl's access list.
  std::set<std::string> protected_files() const;
  // Another program holds the file open without delete sharing: it cannot be replaced.
  void hold_open(const std::string& path);
  // Every prepare_core_files call, in order.
  std::vector<CoreFiles> prepared() const;
  // Makes the process end by itself.
  void exit_process(std::uint32_t pid, std::uint32_t code);
  void fail_polls(std::uint32_t pid, std::string os_text, std::uint32_t os_code);
  // Makes the process one that ending does not end (until exit_process): every wait for it lasts
  // its whole limit, scaled as sleeps are.
  void never_end(std::uint32_t pid);
  // What session_user answers for a session; every other session cannot be asked.
  void set_session_user(std::uint32_t session, Result<std::optional<std::string>> answer);
  // Called inside sleep_for once the sleep is recorded (to end a watchdog after some passes).
  void on_sleep(std::function<void()> hook);

  // Observation.
  std::vector<Process> processes() const;
  Process process(std::uint32_t pid) const;
  std::optional<std::string> file(const std::string& path) const;
  std::vector<std::string> directories() const;
  int polls() const;
  // Processes that have not ended.
  int alive() const;
  int max_alive() const;
  int open_handles() const;
  std::optional<std::uint32_t> newest_pid() const;
  // Every sleep asked for, in order, as asked (each is slept for a thousandth of that).
  std::vector<std::chrono::milliseconds> sleeps() const;
  // Every limit a wait for an ended process was given, in order.
  std::vector<std::chrono::milliseconds> end_waits() const;
  // Processes created before each sleep, one count per entry of sleeps().
  std::vector<std::size_t> creates_before_sleeps() const;

  // CoreBackend.
  Result<std::string> install_dir() override;
  Result<void> create_directories(const std::string& path) override;
  // A path that is a directory (the install directory, one created, or one holding an entry)
  // fails as Windows fails it: access denied.
  Result<void> write_file(const std::string& path, std::string_view bytes) override;
  // A missing install directory is refused as a failed open: file not found.
  Result<void> protect_config(const std::string& path) override;
  Result<void> prepare_core_files(const CoreFiles& files,
                                  std::optional<std::string_view> config) override;
  // Set up as existing, written or created, under any spelling of its path.
  bool exists(const std::string& path) override;
  // The install directory and those above it are there; below it what exists() finds.
  Result<std::optional<InstallEntry>> read_entry(const std::string& path) override;
  // What exists() finds directly in the directory, each name once.
  Result<std::vector<std::string>> list_entries(const std::string& dir) override;
  Result<VolumeKind> volume_kind(const std::string& path) override;
  Result<ChildProcess> create_process(const std::string& core_path, const std::string& command_line,
                                      const std::string& work_dir) override;
  Result<std::optional<std::string>> session_user(std::uint32_t session) override;
  void sleep_for(std::chrono::milliseconds duration) override;

 private:
  // A child of this backend: its operations act on its record, and releasing it marks the
  // record's handles closed.
  class Child;
  void close_handles(std::uint32_t pid) noexcept;
  bool terminate(std::uint32_t pid, std::chrono::milliseconds limit);
  Result<PollResult> poll(std::uint32_t pid);
  int alive_locked() const;
  // With `or_below`, also when something known lies inside it.
  bool exists_locked(const std::string& path, bool or_below) const;
  bool is_directory_locked(const std::string& path) const;
  // Writes as the Windows backend does: a new protected file renamed over the old one.
  Result<void> replace_locked(const std::string& path, std::string_view bytes);

  mutable std::mutex mutex_;
  Result<std::string> install_dir_;
  std::set<std::string> existing_;
  std::optional<Error> write_error_;
  std::optional<Error> create_error_;
  std::function<void()> on_create_;
  std::function<void()> on_poll_;
  std::function<void()> on_sleep_;
  std::vector<std::chrono::milliseconds> sleeps_;
  std::vector<std::chrono::milliseconds> end_waits_;
  std::vector<std::size_t> creates_before_sleeps_;
  std::function<std::string()> identity_probe_;
  std::map<std::string, std::string> written_by_;
  std::map<std::string, Result<SecuritySnapshot>> security_;
  std::vector<std::string> security_reads_;
  std::map<std::string, std::uint32_t> reparse_tags_;
  VolumeKind volume_kind_ = VolumeKind::kFixed;
  std::map<std::string, std::string> files_;
  std::map<std::string, Oddity> oddities_;
  std::set<std::string> protected_files_;
  std::set<std::string> held_open_;
  std::vector<CoreFiles> prepared_;
  std::map<std::uint32_t, Result<std::optional<std::string>>> sessions_;
  std::vector<std::string> directories_;
  std::map<std::uint32_t, Process> processes_;
  std::uint32_t next_pid_ = 1000;
  int polls_ = 0;
  int max_alive_ = 0;
};

}  // namespace corvid::testing
