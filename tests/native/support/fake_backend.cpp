#include "fake_backend.h"

#include <algorithm>
#include <condition_variable>
#include <thread>

#include "common/path_rules.h"

namespace corvid::testing {

namespace {

// As the Windows backend reports a failed call: the system's text, and its code.
Error os_failure(std::string text, std::uint32_t code) {
  Error error(std::move(text));
  error.os_code = code;
  return error;
}

}  // namespace

struct HeldCreate::Gate {
  std::mutex mutex;
  std::condition_variable changed;
  bool held = false;
  bool let_go = false;
};

HeldCreate::HeldCreate() : gate_(std::make_shared<Gate>()) {}

HeldCreate::~HeldCreate() {
  let_go();
}

void HeldCreate::wait_held() {
  std::unique_lock lock(gate_->mutex);
  gate_->changed.wait(lock, [this] { return gate_->held; });
}

void HeldCreate::let_go() {
  {
    std::lock_guard guard(gate_->mutex);
    gate_->let_go = true;
  }
  gate_->changed.notify_all();
}

class FakeBackend::Child final : public ChildProcess::Platform {
 public:
  Child(FakeBackend& owner, std::uint32_t pid) : backend_(owner), pid_(pid) {}
  ~Child() override { backend_.close_handles(pid_); }

  Result<PollResult> poll() override { return backend_.poll(pid_); }
  bool terminate_and_wait(std::chrono::milliseconds limit) override {
    return backend_.terminate(pid_, limit);
  }
  std::uint32_t process_id() override { return pid_; }

 private:
  FakeBackend& backend_;
  const std::uint32_t pid_;
};

FakeBackend::FakeBackend() : install_dir_(std::string(kInstallDir)) {
  existing_.insert(std::string(kInstallDir) + "\\clash-rs.exe");
}

void FakeBackend::set_install_dir(Result<std::string> dir) {
  std::lock_guard guard(mutex_);
  install_dir_ = std::move(dir);
}

void FakeBackend::add_existing(const std::string& path) {
  std::lock_guard guard(mutex_);
  existing_.insert(path);
}

void FakeBackend::remove_existing(const std::string& path) {
  std::lock_guard guard(mutex_);
  existing_.erase(path);
}

void FakeBackend::fail_writes(std::string os_text, std::uint32_t os_code) {
  std::lock_guard guard(mutex_);
  write_error_ = os_failure(std::move(os_text), os_code);
}

void FakeBackend::fail_creates(std::string os_text, std::uint32_t os_code) {
  std::lock_guard guard(mutex_);
  create_error_ = os_failure(std::move(os_text), os_code);
}

void FakeBackend::on_create(std::function<void()> hook) {
  std::lock_guard guard(mutex_);
  on_create_ = std::move(hook);
}

void FakeBackend::hold_next_create(HeldCreate& held) {
  on_create([this, gate = held.gate_] {
    on_create(nullptr);
    std::unique_lock lock(gate->mutex);
    gate->held = true;
    gate->changed.notify_all();
    gate->changed.wait(lock, [&] { return gate->let_go; });
  });
}

void FakeBackend::on_poll(std::function<void()> hook) {
  std::lock_guard guard(mutex_);
  on_poll_ = std::move(hook);
}

void FakeBackend::identity_probe(std::function<std::string()> probe) {
  std::lock_guard guard(mutex_);
  identity_probe_ = std::move(probe);
}

std::map<std::string, std::string> FakeBackend::written_by() const {
  std::lock_guard guard(mutex_);
  return written_by_;
}

void FakeBackend::set_security(const std::string& path, Result<SecuritySnapshot> snapshot) {
  std::lock_guard guard(mutex_);
  security_.insert_or_assign(path, std::move(snapshot));
}

void FakeBackend::set_reparse_tag(const std::string& path, std::uint32_t tag) {
  std::lock_guard guard(mutex_);
  reparse_tags_.insert_or_assign(path, tag);
}

void FakeBackend::set_volume_kind(VolumeKind kind) {
  std::lock_guard guard(mutex_);
  volume_kind_ = kind;
}

SecuritySnapshot FakeBackend::admin_only_snapshot() {
  // A Program Files folder: administrators own it, users may read and run.
  using Kind = AccessEntry::Kind;
  return {kAdministratorsSid,
          std::vector<AccessEntry>{{Kind::kAllow, 0x03, 0x001f01ff, kLocalSystemSid},
                                   {Kind::kAllow, 0x03, 0x001f01ff, kAdministratorsSid},
                                   {Kind::kAllow, 0x03, 0x001200a9, "S-1-5-32-545"}}};
}

std::vector<std::string> FakeBackend::security_reads() const {
  std::lock_guard guard(mutex_);
  return security_reads_;
}

void FakeBackend::set_oddity(const std::string& path, Oddity oddity) {
  std::lock_guard guard(mutex_);
  oddities_.insert_or_assign(path, oddity);
}

std::set<std::string> FakeBackend::protected_files() const {
  std::lock_guard guard(mutex_);
  return protected_files_;
}

std::vector<CoreFiles> FakeBackend::prepared() const {
  std::lock_guard guard(mutex_);
  return prepared_;
}

void FakeBackend::exit_process(std::uint32_t pid, std::uint32_t code) {
  std::lock_guard guard(mutex_);
  Process& p = processes_.at(pid);
  if (!p.exited) {
    p.exited = true;
    p.exit_code = code;
  }
}

void FakeBackend::fail_polls(std::uint32_t pid, std::string os_text, std::uint32_t os_code) {
  std::lock_guard guard(mutex_);
  processes_.at(pid).poll_error = os_failure(std::move(os_text), os_code);
}

std::vector<FakeBackend::Process> FakeBackend::processes() const {
  std::lock_guard guard(mutex_);
  std::vector<Process> out;
  for (const auto& [pid, p] : processes_)
    out.push_back(p);
  return out;
}

FakeBackend::Process FakeBackend::process(std::uint32_t pid) const {
  std::lock_guard guard(mutex_);
  return processes_.at(pid);
}

std::optional<std::string> FakeBackend::file(const std::string& path) const {
  std::lock_guard guard(mutex_);
  auto it = files_.find(path);
  if (it == files_.end())
    return std::nullopt;
  return it->second;
}

std::vector<std::string> FakeBackend::directories() const {
  std::lock_guard guard(mutex_);
  return directories_;
}

int FakeBackend::polls() const {
  std::lock_guard guard(mutex_);
  return polls_;
}

int FakeBackend::alive_locked() const {
  int n = 0;
  for (const auto& [pid, p] : processes_)
    n += p.exited ? 0 : 1;
  return n;
}

int FakeBackend::alive() const {
  std::lock_guard guard(mutex_);
  return alive_locked();
}

int FakeBackend::max_alive() const {
  std::lock_guard guard(mutex_);
  return max_alive_;
}

int FakeBackend::open_handles() const {
  std::lock_guard guard(mutex_);
  int n = 0;
  for (const auto& [pid, p] : processes_)
    n += p.handles_open ? 1 : 0;
  return n;
}

std::optional<std::uint32_t> FakeBackend::newest_pid() const {
  std::lock_guard guard(mutex_);
  if (processes_.empty())
    return std::nullopt;
  return processes_.rbegin()->first;
}

Result<std::string> FakeBackend::install_dir() {
  std::lock_guard guard(mutex_);
  return install_dir_;
}

Result<void> FakeBackend::create_directories(const std::string& path) {
  std::lock_guard guard(mutex_);
  directories_.push_back(path);
  if (identity_probe_)
    written_by_[path] = identity_probe_();
  return {};
}

bool FakeBackend::is_directory_locked(const std::string& path) const {
  const auto holds = [&](const std::string& entry) {
    const std::optional<std::string> parent = parent_path(entry);
    return parent && is_same_path(*parent, path);
  };
  return (install_dir_ && is_same_path(*install_dir_, path)) ||
         std::any_of(directories_.begin(), directories_.end(),
                     [&](const std::string& dir) { return is_same_path(dir, path); }) ||
         std::any_of(existing_.begin(), existing_.end(), holds) ||
         std::any_of(files_.begin(), files_.end(),
                     [&](const auto& file) { return holds(file.first); });
}

Result<void> FakeBackend::replace_locked(const std::string& path, std::string_view bytes) {
  if (write_error_)
    return std::unexpected(*write_error_);
  if (held_open_.contains(path) || is_directory_locked(path))
    return std::unexpected(context("cannot replace " + path + ": another program may hold it open",
                                   os_failure("Access is denied. (os error 5)", 5)));
  files_[path] = std::string(bytes);
  protected_files_.insert(path);
  return {};
}

Result<void> FakeBackend::write_file(const std::string& path, std::string_view bytes) {
  std::lock_guard guard(mutex_);
  if (identity_probe_)
    written_by_[path] = identity_probe_();
  return replace_locked(path, bytes);
}

Result<void> FakeBackend::protect_config(const std::string& path) {
  std::lock_guard guard(mutex_);
  if (files_.contains(path) && !oddities_.contains(path))
    protected_files_.insert(path);
  return {};
}

void FakeBackend::hold_open(const std::string& path) {
  std::lock_guard guard(mutex_);
  held_open_.insert(path);
}

Result<void> FakeBackend::prepare_core_files(const CoreFiles& files,
                                             std::optional<std::string_view> config) {
  std::lock_guard guard(mutex_);
  prepared_.push_back(files);
  // What the Windows backend says of each, read off its handle.
  const auto refused = [&](StartField field, const std::string& path) -> std::optional<Error> {
    const auto refuse = [&](std::string why) {
      return refusal(static_cast<int>(field), path + ": " + why);
    };
    const auto it = oddities_.find(path);
    if (it == oddities_.end())
      return std::nullopt;
    switch (it->second) {
      case Oddity::kReparsePoint:
        return refuse("is a reparse point");
      case Oddity::kHardLinked:
        return refuse("has 2 links");
      case Oddity::kElsewhere:
        return refuse(R"(opens as \\?\D:\elsewhere)");
    }
    return std::nullopt;
  };
  // Every check before anything is written.
  if (!is_directory_locked(files.install_dir))
    return std::unexpected(refusal(
        static_cast<int>(StartField::kWorkDir),
        files.install_dir + ": The system cannot find the file specified. (os error 2)", 2));
  std::optional<Error> odd = refused(StartField::kWorkDir, files.install_dir);
  if (!odd)
    odd = refused(StartField::kLogPath, files.log_dir);
  if (!odd && config)
    odd = refused(StartField::kConfigPath, files.config_path);
  if (odd)
    return std::unexpected(std::move(*odd));
  directories_.push_back(files.log_dir);
  if (identity_probe_)
    written_by_[files.log_dir] = identity_probe_();
  if (!config)
    return {};
  if (identity_probe_)
    written_by_[files.config_path] = identity_probe_();
  return replace_locked(files.config_path, *config);
}

bool FakeBackend::exists(const std::string& path) {
  std::lock_guard guard(mutex_);
  return exists_locked(path, false);
}

bool FakeBackend::exists_locked(const std::string& path, bool or_below) const {
  // As on Windows, any spelling of the same path finds the entry.
  const auto names = [&](const std::string& entry) {
    return entry == path || is_same_path(entry, path) || (or_below && is_inside(path, entry));
  };
  return std::any_of(existing_.begin(), existing_.end(), names) ||
         std::any_of(files_.begin(), files_.end(),
                     [&](const auto& file) { return names(file.first); }) ||
         std::any_of(directories_.begin(), directories_.end(), names);
}

Result<std::optional<InstallEntry>> FakeBackend::read_entry(const std::string& path) {
  std::lock_guard guard(mutex_);
  security_reads_.push_back(path);
  // A directory is there when something is in it.
  if (install_dir_ && is_inside(*install_dir_, path) && !exists_locked(path, true))
    return std::nullopt;
  InstallEntry entry;
  if (const auto tag = reparse_tags_.find(path); tag != reparse_tags_.end())
    entry.reparse_tag = tag->second;
  const auto it = security_.find(path);
  if (it == security_.end()) {
    entry.security = admin_only_snapshot();
  } else if (it->second) {
    entry.security = *it->second;
  } else {
    return std::unexpected(it->second.error());
  }
  return entry;
}

Result<std::vector<std::string>> FakeBackend::list_entries(const std::string& dir) {
  std::lock_guard guard(mutex_);
  std::set<std::string> names;
  // The first component below `dir` of every entry the backend knows, as it was spelled.
  const auto add = [&](const std::string& path) {
    std::string below = path;
    for (std::optional<std::string> parent = parent_path(below);
         parent && !parent->empty() && *parent != below; parent = parent_path(below)) {
      if (is_same_path(*parent, dir)) {
        const std::string name = below.substr(
            std::min(below.size(), parent->size() + (parent->ends_with('\\') ? 0 : 1)));
        if (name != "" && name != "." && name != "..")
          names.insert(name);
        return;
      }
      below = *parent;
    }
  };
  for (const std::string& path : existing_)
    add(path);
  for (const auto& file : files_)
    add(file.first);
  for (const std::string& path : directories_)
    add(path);
  return std::vector<std::string>(names.begin(), names.end());
}

Result<VolumeKind> FakeBackend::volume_kind(const std::string&) {
  std::lock_guard guard(mutex_);
  return volume_kind_;
}

Result<ChildProcess> FakeBackend::create_process(const std::string& core_path,
                                                 const std::string& command_line,
                                                 const std::string& work_dir) {
  std::function<void()> hook;
  {
    std::lock_guard guard(mutex_);
    hook = on_create_;
  }
  if (hook)
    hook();
  std::lock_guard guard(mutex_);
  if (create_error_)
    return std::unexpected(*create_error_);
  Process p;
  p.pid = next_pid_++;
  p.core_path = core_path;
  p.command_line = command_line;
  p.work_dir = work_dir;
  processes_[p.pid] = p;
  max_alive_ = std::max(max_alive_, alive_locked());
  return ChildProcess(std::make_unique<Child>(*this, p.pid));
}

bool FakeBackend::terminate(std::uint32_t pid, std::chrono::milliseconds limit) {
  {
    std::lock_guard guard(mutex_);
    end_waits_.push_back(limit);
    Process& p = processes_.at(pid);
    if (!p.never_ends) {
      if (!p.exited) {
        p.exited = true;
        p.terminated = true;
        p.exit_code = 1;
      }
      return true;
    }
    if (p.exited)
      return true;
  }
  std::this_thread::sleep_for(limit / 1000);
  std::lock_guard guard(mutex_);
  return processes_.at(pid).exited;
}

void FakeBackend::never_end(std::uint32_t pid) {
  std::lock_guard guard(mutex_);
  processes_.at(pid).never_ends = true;
}

std::vector<std::chrono::milliseconds> FakeBackend::end_waits() const {
  std::lock_guard guard(mutex_);
  return end_waits_;
}

Result<PollResult> FakeBackend::poll(std::uint32_t pid) {
  std::function<void()> hook;
  {
    std::lock_guard guard(mutex_);
    hook = on_poll_;
  }
  if (hook)
    hook();
  std::lock_guard guard(mutex_);
  ++polls_;
  const Process& p = processes_.at(pid);
  if (p.poll_error)
    return std::unexpected(*p.poll_error);
  if (p.exited)
    return PollResult{PollResult::State::kExited, p.exit_code};
  return PollResult{};
}

void FakeBackend::close_handles(std::uint32_t pid) noexcept {
  std::lock_guard guard(mutex_);
  auto it = processes_.find(pid);
  if (it == processes_.end())
    return;
  Process& p = it->second;
  p.handles_open = false;
  // The job goes with the last handle and ends what still runs in it, as far as ending can.
  if (!p.exited && !p.never_ends) {
    p.exited = true;
    p.exit_code = 1;
  }
}

void FakeBackend::sleep_for(std::chrono::milliseconds duration) {
  std::function<void()> hook;
  {
    std::lock_guard guard(mutex_);
    sleeps_.push_back(duration);
    creates_before_sleeps_.push_back(processes_.size());
    hook = on_sleep_;
  }
  if (hook)
    hook();
  // A second of the product is a millisecond here; the pace itself is checked in sleeps().
  std::this_thread::sleep_for(duration / 1000);
}

void FakeBackend::set_session_user(std::uint32_t session,
                                   Result<std::optional<std::string>> answer) {
  std::lock_guard guard(mutex_);
  sessions_.insert_or_assign(session, std::move(answer));
}

Result<std::optional<std::string>> FakeBackend::session_user(std::uint32_t session) {
  std::lock_guard guard(mutex_);
  const auto it = sessions_.find(session);
  if (it == sessions_.end())
    return std::unexpected(
        os_failure("A required privilege is not held by the client. (os error 1314)", 1314));
  return it->second;
}

void FakeBackend::on_sleep(std::function<void()> hook) {
  std::lock_guard guard(mutex_);
  on_sleep_ = std::move(hook);
}

std::vector<std::chrono::milliseconds> FakeBackend::sleeps() const {
  std::lock_guard guard(mutex_);
  return sleeps_;
}

std::vector<std::size_t> FakeBackend::creates_before_sleeps() const {
  std::lock_guard guard(mutex_);
  return creates_before_sleeps_;
}

}  // namespace corvid::testing
