// Measures the helper in console mode against bare baselines, under one client:
//   ping and status round trips against a bare echo server with the same pipe modes;
//   a start, status, stop cycle against the configuration written, flushed and renamed,
//   CreateProcessW, TerminateProcess and a wait, plus three echo round trips;
//   the watchdog's relaunch delay after the core dies;
//   the helper's footprint over a long run of requests;
//   its CPU time while idle, with and without a core;
//   what a flood of malformed 1 MiB requests adds to its log and its memory.
// Prints a table and writes the figures as JSON.
//
// corvid_bench.exe --dir HELPER_DIR --out RESULTS_JSON [--quick]
// HELPER_DIR holds corvid_helper_service.exe and the stand-in core as clash-rs.exe; the helper
// runs from there and nothing else may serve \\.\pipe\corvid-helper meanwhile.
#include <windows.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <functional>
#include <optional>
#include <random>
#include <string>
#include <string_view>
#include <vector>

#include <nlohmann/json.hpp>

#include "bench_support.h"
#include "channel/pipe_contract.h"
#include "common/handle_win.h"

namespace {

using bench::Exchange;
using bench::Summary;
using nlohmann::json;

constexpr const char* kUsage =
    "usage: corvid_bench --dir HELPER_DIR --out RESULTS_JSON [--quick]"
    " [--only ping,status,cycle,relaunch,footprint,idle,flood]";

const std::wstring kHelperPipe = corvid::pipe_config::kPipeName;
const std::wstring kEchoPipe = L"\\\\.\\pipe\\corvid-bench-echo";

struct Options {
  std::wstring dir;
  std::wstring out;
  int pings = 3000;
  int statuses = 2000;
  int cycles = 30;
  int relaunches = 16;
  int warmup = 1000;
  int long_run = 12000;
  int idle_seconds = 30;
  int flood = 1000;
  std::vector<std::string> only;  // scenario names; empty: all

  bool wanted(std::string_view name) const {
    return only.empty() || std::find(only.begin(), only.end(), name) != only.end();
  }
};

[[noreturn]] void die(const std::string& message) {
  std::fprintf(stderr, "bench: %s\n", message.c_str());
  std::fflush(stderr);
  std::exit(1);
}

std::wstring own_dir() {
  wchar_t buffer[MAX_PATH * 4];
  const DWORD length = GetModuleFileNameW(nullptr, buffer, static_cast<DWORD>(std::size(buffer)));
  std::wstring path(buffer, length);
  return path.substr(0, path.find_last_of(L"\\/"));
}

std::string request(std::string_view id, std::string_view action,
                    std::optional<std::string> config = std::nullopt) {
  json line = {{"id", id}, {"action", action}};
  if (config)
    line["config"] = *config;
  return line.dump() + "\n";
}

json parsed(const Exchange& e) {
  if (!e.answered)
    return json();
  return json::parse(e.response, nullptr, false);
}

bool ok(const Exchange& e) {
  const json r = parsed(e);
  return r.is_object() && r.value("ok", false);
}

std::optional<std::uint32_t> running_pid(const Exchange& e) {
  const json r = parsed(e);
  if (!r.is_object() || !r.value("ok", false) || !r["data"].is_object() ||
      !r["data"].value("running", false) || !r["data"]["pid"].is_number_unsigned())
    return std::nullopt;
  return r["data"]["pid"].get<std::uint32_t>();
}

json summary_json(const Summary& s, double scale = 1.0) {
  return {{"count", s.count},      {"min", s.min / scale}, {"median", s.median / scale},
          {"p90", s.p90 / scale},  {"p99", s.p99 / scale}, {"max", s.max / scale},
          {"mean", s.mean / scale}};
}

double ratio(double a, double b) {
  return b > 0 ? a / b : 0;
}

void wait_for_pipe(const std::wstring& pipe, const std::string& line) {
  const double give_up = bench::now_us() + 30e6;
  while (bench::now_us() < give_up) {
    if (bench::exchange(pipe, line).answered)
      return;
    Sleep(100);
  }
  die("no answer on " + bench::narrow(pipe));
}

// ---- round trips against the echo baseline ------------------------------------------------

struct Side {
  std::wstring pipe;
  std::string line;
  std::function<bool(const Exchange&)> valid;
  std::vector<double> micros;
  unsigned failures = 0;
  unsigned long absent_retries = 0;
};

void run_side(Side& side) {
  const Exchange e = bench::exchange(side.pipe, side.line);
  side.absent_retries += e.absent_retries;
  if (side.valid(e))
    side.micros.push_back(e.micros);
  else
    ++side.failures;
}

// Alternates the two sides so that drift on the machine hits both alike.
json compare_round_trips(const char* name, Side helper, Side echo, int count) {
  for (int i = 0; i < count; ++i) {
    if (i % 2 == 0) {
      run_side(helper);
      run_side(echo);
    } else {
      run_side(echo);
      run_side(helper);
    }
  }
  const Summary h = bench::summarize(helper.micros);
  const Summary b = bench::summarize(echo.micros);
  std::printf(
      "%-8s helper median %7.1f us  p99 %7.1f us | echo median %7.1f us  p99 %7.1f us"
      " | ratio median %.2f  p99 %.2f  (failures %u/%u)\n",
      name, h.median, h.p99, b.median, b.p99, ratio(h.median, b.median), ratio(h.p99, b.p99),
      helper.failures, echo.failures);
  std::fflush(stdout);
  json helper_json = summary_json(h);
  helper_json["failures"] = helper.failures;
  helper_json["absent_retries"] = helper.absent_retries;
  json echo_json = summary_json(b);
  echo_json["failures"] = echo.failures;
  echo_json["absent_retries"] = echo.absent_retries;
  return {{"unit", "us"},
          {"helper", helper_json},
          {"echo", echo_json},
          {"ratio_median", ratio(h.median, b.median)},
          {"ratio_p99", ratio(h.p99, b.p99)}};
}

Side helper_side(std::string line, std::function<bool(const Exchange&)> valid) {
  return Side{kHelperPipe, std::move(line), std::move(valid), {}, 0, 0};
}

Side echo_side(std::string line) {
  Side side{kEchoPipe, line, nullptr, {}, 0, 0};
  side.valid = [line](const Exchange& e) { return e.answered && e.response == line; };
  return side;
}

// ---- the core -----------------------------------------------------------------------------

struct CorePaths {
  std::wstring exe, config, log, command_line;
};

CorePaths core_paths(const std::wstring& dir) {
  CorePaths p;
  p.exe = dir + L"\\clash-rs.exe";
  p.config = dir + L"\\config.json";
  p.log = dir + L"\\log\\clash.log";
  p.command_line =
      L"\"" + p.exe + L"\" -d \"" + dir + L"\" -c \"" + p.config + L"\" -l \"" + p.log + L"\"";
  return p;
}

void start_core(const std::string& config) {
  const Exchange e = bench::exchange(kHelperPipe, request("start", "start", config));
  if (!ok(e))
    die("start failed: " + e.response);
}

void stop_core() {
  const Exchange e = bench::exchange(kHelperPipe, request("stop", "stop"));
  if (!ok(e))
    die("stop failed: " + e.response);
}

std::optional<std::uint32_t> core_pid() {
  return running_pid(bench::exchange(kHelperPipe, request("pid", "status")));
}

json cycles(const Options& options) {
  const CorePaths core = core_paths(options.dir);
  std::vector<double> total, start, status, stop, bare_total, bare_write, bare_create, bare_end,
      bare_trips;
  // The bare cycle's configuration: the same bytes, written as a start must write them, beside the
  // helper's own.
  const std::wstring bare_config = options.dir + L"\\bare-config.json";
  const std::wstring bare_config_new = bare_config + L".new";
  unsigned failures = 0;
  const auto helper_cycle = [&] {
    const double t0 = bench::now_us();
    const Exchange a = bench::exchange(kHelperPipe, request("c1", "start", "run\n"));
    const double t1 = bench::now_us();
    const Exchange b = bench::exchange(kHelperPipe, request("c2", "status"));
    const double t2 = bench::now_us();
    const Exchange c = bench::exchange(kHelperPipe, request("c3", "stop"));
    const double t3 = bench::now_us();
    if (!ok(a) || !running_pid(b) || !ok(c)) {
      ++failures;
      return;
    }
    start.push_back(t1 - t0);
    status.push_back(t2 - t1);
    stop.push_back(t3 - t2);
    total.push_back(t3 - t0);
  };
  // The least the same cycle can cost: the three round trips against the echo (the same lines),
  // the configuration written to a new file, flushed and renamed over the old one (what a start
  // must do so that no reader of the old file sees the new bytes and no crash leaves half a
  // file), and a bare launch and end of the same program, command line and directory.
  const auto bare_cycle = [&] {
    std::wstring line = core.command_line;
    STARTUPINFOW startup{};
    startup.cb = sizeof startup;
    PROCESS_INFORMATION info{};
    const double t0 = bench::now_us();
    const Exchange a = bench::exchange(kEchoPipe, request("c1", "start", "run\n"));
    const double tw = bench::now_us();
    {
      const corvid::WinHandle file(CreateFileW(bare_config_new.c_str(), GENERIC_WRITE, 0, nullptr,
                                               CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr));
      DWORD written = 0;
      if (!file.valid() || !WriteFile(file.get(), "run\n", 4, &written, nullptr) ||
          !FlushFileBuffers(file.get()))
        die("writing the bare configuration failed: " + std::to_string(GetLastError()));
    }
    if (!MoveFileExW(bare_config_new.c_str(), bare_config.c_str(), MOVEFILE_REPLACE_EXISTING))
      die("renaming the bare configuration failed: " + std::to_string(GetLastError()));
    const double t1 = bench::now_us();
    if (!CreateProcessW(core.exe.c_str(), line.data(), nullptr, nullptr, TRUE,
                        CREATE_NO_WINDOW | CREATE_UNICODE_ENVIRONMENT, nullptr, options.dir.c_str(),
                        &startup, &info))
      die("CreateProcessW of the core failed: " + std::to_string(GetLastError()));
    const double t2 = bench::now_us();
    const Exchange b = bench::exchange(kEchoPipe, request("c2", "status"));
    const Exchange c = bench::exchange(kEchoPipe, request("c3", "stop"));
    const double t3 = bench::now_us();
    TerminateProcess(info.hProcess, 1);
    WaitForSingleObject(info.hProcess, INFINITE);
    const corvid::WinHandle thread(info.hThread);
    const corvid::WinHandle process(info.hProcess);
    const double t4 = bench::now_us();
    if (!a.answered || !b.answered || !c.answered)
      die("the echo server did not answer");
    bare_write.push_back(t1 - tw);
    bare_create.push_back(t2 - t1);
    bare_end.push_back(t4 - t3);
    bare_trips.push_back((tw - t0) + (t3 - t2));
    bare_total.push_back(t4 - t0);
  };
  for (int i = 0; i < options.cycles; ++i) {
    if (i % 2 == 0) {
      helper_cycle();
      bare_cycle();
    } else {
      bare_cycle();
      helper_cycle();
    }
  }
  const double scale = 1000.0;  // ms
  const Summary h = bench::summarize(total), b = bench::summarize(bare_total);
  std::printf(
      "cycle    helper median %7.2f ms p99 %7.2f ms | bare median %7.2f ms p99 %7.2f ms"
      " | ratio median %.2f  p99 %.2f  (failures %u)\n",
      h.median / scale, h.p99 / scale, b.median / scale, b.p99 / scale, ratio(h.median, b.median),
      ratio(h.p99, b.p99), failures);
  std::printf(
      "         helper start %.2f ms, status %.2f ms, stop %.2f ms (medians);"
      " bare configuration written, flushed and renamed %.2f ms, CreateProcessW %.2f ms,"
      " terminate and wait %.2f ms, three echo round trips %.2f ms\n",
      bench::summarize(start).median / scale, bench::summarize(status).median / scale,
      bench::summarize(stop).median / scale, bench::summarize(bare_write).median / scale,
      bench::summarize(bare_create).median / scale, bench::summarize(bare_end).median / scale,
      bench::summarize(bare_trips).median / scale);
  std::fflush(stdout);
  return {{"unit", "ms"},
          {"helper", summary_json(h, scale)},
          {"helper_failures", failures},
          {"helper_start", summary_json(bench::summarize(start), scale)},
          {"helper_status", summary_json(bench::summarize(status), scale)},
          {"helper_stop", summary_json(bench::summarize(stop), scale)},
          {"bare", summary_json(b, scale)},
          {"bare_write_config", summary_json(bench::summarize(bare_write), scale)},
          {"bare_create", summary_json(bench::summarize(bare_create), scale)},
          {"bare_terminate_wait", summary_json(bench::summarize(bare_end), scale)},
          {"bare_echo_round_trips", summary_json(bench::summarize(bare_trips), scale)},
          {"ratio_median", ratio(h.median, b.median)},
          {"ratio_p99", ratio(h.p99, b.p99)}};
}

// ---- the watchdog -------------------------------------------------------------------------

// The helper log, read from an offset.
class LogTail {
 public:
  explicit LogTail(std::wstring path) : path_(std::move(path)) {}

  std::uint64_t size() const {
    WIN32_FILE_ATTRIBUTE_DATA data{};
    if (!GetFileAttributesExW(path_.c_str(), GetFileExInfoStandard, &data))
      return 0;
    return (static_cast<std::uint64_t>(data.nFileSizeHigh) << 32) | data.nFileSizeLow;
  }

  std::string from(std::uint64_t offset) const {
    std::string bytes;
    const corvid::WinHandle file(CreateFileW(path_.c_str(), GENERIC_READ,
                                             FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                                             nullptr, OPEN_EXISTING, 0, nullptr));
    if (!file)
      return bytes;
    LARGE_INTEGER at{};
    at.QuadPart = static_cast<LONGLONG>(offset);
    SetFilePointerEx(file.get(), at, nullptr, FILE_BEGIN);
    bytes = bench::read_to_end(file.get());
    return bytes;
  }

 private:
  std::wstring path_;
};

// The FILETIME count of the first complete log line after `offset` whose message starts with
// `message`.
std::optional<std::uint64_t> logged_at(const std::string& text, std::string_view message) {
  static constexpr std::string_view kStamp = "[SystemTime { intervals: ";
  std::size_t pos = 0;
  while (pos < text.size()) {
    const std::size_t end = text.find('\n', pos);
    if (end == std::string::npos)
      return std::nullopt;
    const std::string_view line(text.data() + pos, end - pos);
    pos = end + 1;
    const std::size_t close = line.find("}] ");
    if (line.substr(0, kStamp.size()) != kStamp || close == std::string_view::npos)
      continue;
    if (line.substr(close + 3, message.size()) != message)
      continue;
    return std::strtoull(std::string(line.substr(kStamp.size(), close - kStamp.size())).c_str(),
                         nullptr, 10);
  }
  return std::nullopt;
}

json relaunches(const Options& options) {
  const LogTail log(options.dir + L"\\corvid-helper.log");
  start_core("run\n");
  std::mt19937 random(12345);
  std::uniform_int_distribution<int> pause(0, 999);
  std::vector<double> delay, detect, launch;
  unsigned failures = 0;
  for (int i = 0; i < options.relaunches; ++i) {
    std::optional<std::uint32_t> pid;
    for (int tries = 0; tries < 100 && !(pid = core_pid()); ++tries)
      Sleep(20);
    if (!pid)
      die("no running core to end");
    const corvid::WinHandle owned_core(OpenProcess(
        PROCESS_TERMINATE | SYNCHRONIZE | PROCESS_QUERY_LIMITED_INFORMATION, FALSE, *pid));
    const HANDLE core = owned_core.get();
    if (core == nullptr)
      die("OpenProcess of the core failed: " + std::to_string(GetLastError()));
    // A random moment of the watchdog's one-second period, as a crash would fall.
    Sleep(static_cast<DWORD>(pause(random)));
    const std::uint64_t offset = log.size();
    TerminateProcess(core, 3);
    WaitForSingleObject(core, INFINITE);
    std::uint64_t exited = bench::filetime_now();
    // The kernel's own exit time, when it has one, is closer than our wake-up.
    FILETIME created{}, ended{}, kernel{}, user{};
    if (GetProcessTimes(core, &created, &ended, &kernel, &user)) {
      const std::uint64_t kernel_exit =
          (static_cast<std::uint64_t>(ended.dwHighDateTime) << 32) | ended.dwLowDateTime;
      if (kernel_exit != 0 && kernel_exit <= exited && exited - kernel_exit < 10'000'000)
        exited = kernel_exit;
    }
    std::optional<std::uint64_t> restarted, noticed;
    const double give_up = bench::now_us() + 10e6;
    while (bench::now_us() < give_up) {
      const std::string text = log.from(offset);
      restarted = logged_at(text, "core restarted");
      noticed = logged_at(text, "core exited");
      if (restarted)
        break;
      Sleep(2);
    }
    if (!restarted || !noticed || *restarted < exited) {
      ++failures;
      continue;
    }
    delay.push_back(static_cast<double>(*restarted - exited) / 1e4);
    detect.push_back(static_cast<double>(*noticed - exited) / 1e4);
    launch.push_back(static_cast<double>(*restarted - *noticed) / 1e4);
  }
  const Summary d = bench::summarize(delay);
  const Summary n = bench::summarize(detect);
  const Summary l = bench::summarize(launch);
  std::printf(
      "relaunch exit to \"core restarted\": min %.0f ms, median %.0f ms, p90 %.0f ms,"
      " max %.0f ms (%zu samples, failures %u)\n",
      d.min, d.median, d.p90, d.max, d.count, failures);
  std::printf(
      "         of which exit to \"core exited\" (the watchdog's poll) median %.0f ms,"
      " max %.0f ms; relaunch median %.0f ms, max %.0f ms\n",
      n.median, n.max, l.median, l.max);
  std::fflush(stdout);
  json values = json::array();
  for (double v : delay)
    values.push_back(v);
  return {{"unit", "ms"},
          {"delay", summary_json(d)},
          {"exit_to_detect", summary_json(n)},
          {"detect_to_restarted", summary_json(l)},
          {"samples", values},
          {"failures", failures}};
}

// ---- footprint ----------------------------------------------------------------------------

json footprint_json(const bench::Footprint& f) {
  return {{"private_bytes", f.private_bytes},
          {"working_set", f.working_set},
          {"handles", f.handles},
          {"cpu_ms", f.cpu_ms}};
}

// A mix of what the helper meets: pings and status queries, unknown actions, a long request,
// malformed lines (answered by no response), and now and then a start that replaces the core.
json long_run(const Options& options, const bench::Process& helper) {
  const std::string big_config = "run\n# " + std::string(3000, 'x') + "\n";
  const std::vector<std::string> lines = {
      request("p", "ping"),
      request("s", "status"),
      request("u", "jump"),
      request("b", "status", big_config),
      "{\"id\":\"bad\",\"action\":\"ping\"\n",
      std::string("{\"id\":\"\xff\"}\n"),
      "[\"pos\",\"ping\",null,null,null,null,null]\n",
  };
  // Per 20 requests: 12 pings, 4 status, 1 unknown action, 1 long request, 1 malformed,
  // 1 positional; a bad UTF-8 line every 100.
  const auto pick = [&](int i) -> const std::string& {
    if (i % 100 == 99)
      return lines[5];
    switch (i % 20) {
      case 1:
      case 6:
      case 11:
      case 16:
        return lines[1];
      case 3:
        return lines[2];
      case 8:
        return lines[3];
      case 13:
        return lines[4];
      case 18:
        return lines[6];
      default:
        return lines[0];
    }
  };
  // Valid lines must be answered, malformed ones must not be.
  std::vector<unsigned> wrong(lines.size(), 0);
  const auto run = [&](int i) {
    const std::string& line = pick(i);
    const Exchange e = bench::exchange(kHelperPipe, line);
    const std::size_t kind = static_cast<std::size_t>(&line - lines.data());
    const bool malformed = kind == 4 || kind == 5;
    if (e.answered == malformed)
      ++wrong[kind];
    if (i % 1000 == 500)
      start_core("run\n");
  };
  for (int i = 0; i < options.warmup; ++i)
    run(i);
  const bench::Footprint first = bench::footprint(helper.handle(), helper.pid());
  json samples = json::array();
  samples.push_back(footprint_json(first));
  for (int i = 0; i < options.long_run; ++i) {
    run(i);
    if ((i + 1) % 1000 == 0)
      samples.push_back(footprint_json(bench::footprint(helper.handle(), helper.pid())));
  }
  const bench::Footprint last = bench::footprint(helper.handle(), helper.pid());
  unsigned wrong_total = 0;
  json wrong_json = json::object();
  const char* kinds[] = {"ping",           "status",    "unknown action", "long request",
                         "malformed json", "bad utf-8", "positional"};
  for (std::size_t k = 0; k < lines.size(); ++k) {
    wrong_total += wrong[k];
    if (wrong[k] != 0)
      wrong_json[kinds[k]] = wrong[k];
  }
  std::printf(
      "footprint after %d warm-up and %d more requests: private %.1f -> %.1f MiB,"
      " working set %.1f -> %.1f MiB, handles %u -> %u (wrongly (un)answered %u%s)\n",
      options.warmup, options.long_run, first.private_bytes / 1048576.0,
      last.private_bytes / 1048576.0, first.working_set / 1048576.0, last.working_set / 1048576.0,
      first.handles, last.handles, wrong_total,
      wrong_total ? (": " + wrong_json.dump()).c_str() : "");
  std::fflush(stdout);
  return {{"warmup_requests", options.warmup},
          {"requests", options.long_run},
          {"start", footprint_json(first)},
          {"end", footprint_json(last)},
          {"samples_every_1000", samples},
          {"wrongly_answered_or_unanswered", wrong_json},
          {"growth",
           {{"private_bytes",
             static_cast<double>(last.private_bytes) - static_cast<double>(first.private_bytes)},
            {"working_set",
             static_cast<double>(last.working_set) - static_cast<double>(first.working_set)},
            {"handles", static_cast<long long>(last.handles) - first.handles}}}};
}

// ---- idle ---------------------------------------------------------------------------------

// CPU time over a quiet window, as the system's process times count it (10 ms ticks under
// Wine) and, under Wine, to the nanosecond from the Linux scheduler, with the wineserver's share:
// under Wine every wait and wake-up of the helper goes through it.
json idle(const Options& options, const bench::Process& helper, const char* name) {
  const double before = bench::footprint(helper.handle(), helper.pid()).cpu_ms;
  const std::optional<std::uint64_t> helper_before = bench::unix_cpu_ns("corvid_helper_service");
  const std::optional<std::uint64_t> server_before = bench::unix_cpu_ns("wineserver");
  const double t0 = bench::now_us();
  Sleep(static_cast<DWORD>(options.idle_seconds) * 1000);
  const double seconds = (bench::now_us() - t0) / 1e6;
  const double used = bench::footprint(helper.handle(), helper.pid()).cpu_ms - before;
  const std::optional<std::uint64_t> helper_after = bench::unix_cpu_ns("corvid_helper_service");
  const std::optional<std::uint64_t> server_after = bench::unix_cpu_ns("wineserver");
  json result = {{"seconds", seconds}, {"cpu_ms", used}, {"cpu_percent", used / (seconds * 10)}};
  std::printf("idle     %s: %.0f ms of CPU in %.1f s", name, used, seconds);
  if (helper_before && helper_after) {
    const double precise = static_cast<double>(*helper_after - *helper_before) / 1e6;
    result["scheduler_cpu_ms"] = precise;
    result["scheduler_cpu_percent"] = precise / (seconds * 10);
    std::printf("; scheduler: %.2f ms (%.4f %%)", precise, precise / (seconds * 10));
  }
  if (server_before && server_after) {
    const double server = static_cast<double>(*server_after - *server_before) / 1e6;
    result["wineserver_cpu_ms"] = server;
    std::printf(", wineserver %.2f ms", server);
  }
  std::printf("\n");
  std::fflush(stdout);
  return result;
}

// ---- a flood of malformed requests ----------------------------------------------------------

// What a client that sends nothing but large malformed requests costs: each is refused unanswered
// and leaves one entry that shows only the beginning of the request, and none of its memory stays.
json flood(const Options& options, const bench::Process& helper) {
  constexpr std::size_t kRequestBytes = 1u << 20;
  // A start whose configuration never ends: rejected once the whole line is read.
  std::string line = R"({"id":"flood","action":"start","config":")";
  line += std::string(kRequestBytes - line.size(), 'c');
  line += '\n';
  const std::wstring log = options.dir + L"\\corvid-helper.log";
  const auto log_bytes = [&] { return bench::file_size(log) + bench::file_size(log + L".1"); };

  const std::uint64_t log_before = log_bytes();
  const bench::Footprint before = bench::footprint(helper.handle(), helper.pid());
  const double t0 = bench::now_us();
  unsigned answered = 0;
  for (int i = 0; i < options.flood; ++i) {
    if (bench::exchange(kHelperPipe, line, corvid::pipe_config::kReadChunk).answered)
      ++answered;
  }
  const double seconds = (bench::now_us() - t0) / 1e6;
  // The last entry is written after the connection is dropped: wait for the next instance.
  wait_for_pipe(kHelperPipe, request("after", "ping"));
  const std::uint64_t log_after = log_bytes();
  const bench::Footprint after = bench::footprint(helper.handle(), helper.pid());
  // A rotation during the flood would make the growth look smaller than it was.
  const double grown = static_cast<double>(log_after) - static_cast<double>(log_before);
  const double per_request = grown / options.flood;
  std::printf(
      "flood    %d malformed requests of %zu bytes in %.1f s: log +%.0f bytes (%.0f bytes a"
      " request), private %.1f -> %.1f MiB (answered %u)\n",
      options.flood, kRequestBytes, seconds, grown, per_request, before.private_bytes / 1048576.0,
      after.private_bytes / 1048576.0, answered);
  std::fflush(stdout);
  return {{"requests", options.flood},
          {"request_bytes", kRequestBytes},
          {"seconds", seconds},
          {"answered", answered},
          {"log_growth_bytes", grown},
          {"log_bytes_per_request", per_request},
          {"start", footprint_json(before)},
          {"end", footprint_json(after)},
          {"private_growth_bytes",
           static_cast<double>(after.private_bytes) - static_cast<double>(before.private_bytes)}};
}

// ---- the report ---------------------------------------------------------------------------

json machine() {
  SYSTEM_INFO info{};
  GetNativeSystemInfo(&info);
  json m = {{"processors", info.dwNumberOfProcessors}};
  HMODULE ntdll = GetModuleHandleW(L"ntdll.dll");
  using Version = const char*(__cdecl*)();
  using HostVersion = void(__cdecl*)(const char**, const char**);
  if (const auto wine = reinterpret_cast<Version>(
          reinterpret_cast<void*>(GetProcAddress(ntdll, "wine_get_version"))))
    m["wine"] = wine();
  if (const auto host = reinterpret_cast<HostVersion>(
          reinterpret_cast<void*>(GetProcAddress(ntdll, "wine_get_host_version")))) {
    const char* system = nullptr;
    const char* release = nullptr;
    host(&system, &release);
    m["host"] = std::string(system ? system : "") + " " + (release ? release : "");
  }
  return m;
}

void print_table(const json& r) {
  const auto row = [](const std::string& what, const std::string& helper,
                      const std::string& baseline, const std::string& ratio_text) {
    std::printf("%-44s %-22s %-22s %s\n", what.c_str(), helper.c_str(), baseline.c_str(),
                ratio_text.c_str());
  };
  const auto fixed = [](double value, int digits, const char* unit) {
    char text[64];
    std::snprintf(text, sizeof text, "%.*f %s", digits, value, unit);
    return std::string(text);
  };
  const auto times = [](double value) {
    char text[32];
    std::snprintf(text, sizeof text, "x %.2f", value);
    return std::string(text);
  };
  std::printf("\n");
  row("measure", "helper", "baseline", "ratio");
  for (const char* name : {"ping", "status"}) {
    if (!r.contains(name))
      continue;
    const json& m = r[name];
    for (const char* stat : {"median", "p99"}) {
      row(std::string(name) + " round trip, " + stat,
          fixed(m["helper"][stat].get<double>(), 0, "us"),
          fixed(m["echo"][stat].get<double>(), 0, "us (echo)"),
          times(m[std::string("ratio_") + stat].get<double>()));
    }
  }
  for (const char* stat : {"median", "p99"}) {
    if (!r.contains("cycle"))
      break;
    const json& c = r["cycle"];
    row(std::string("start+status+stop cycle, ") + stat,
        fixed(c["helper"][stat].get<double>(), 1, "ms"),
        fixed(c["bare"][stat].get<double>(), 1, "ms (bare)"),
        times(c[std::string("ratio_") + stat].get<double>()));
  }
  if (r.contains("relaunch")) {
    const json& d = r["relaunch"]["delay"];
    row("relaunch, exit to \"core restarted\"", fixed(d["median"].get<double>(), 0, "ms median"),
        "min " + fixed(d["min"].get<double>(), 0, "ms"),
        "p90 " + fixed(d["p90"].get<double>(), 0, "ms") + ", max " +
            fixed(d["max"].get<double>(), 0, "ms"));
  }
  const auto mib = [](const json& v) { return v.get<double>() / 1048576.0; };
  if (r.contains("footprint")) {
    const json& f = r["footprint"];
    if (f.contains("at_launch")) {
      const json& a = f["at_launch"];
      row("at launch, before any load", fixed(mib(a["private_bytes"]), 2, "MiB private"),
          fixed(mib(a["working_set"]), 2, "MiB working set"),
          std::to_string(a["handles"].get<unsigned>()) + " handles");
    }
    row("private bytes over " + std::to_string(f["requests"].get<int>()) + " requests",
        fixed(mib(f["start"]["private_bytes"]), 2, "MiB at start"),
        fixed(mib(f["end"]["private_bytes"]), 2, "MiB at end"), "");
    row("working set", fixed(mib(f["start"]["working_set"]), 2, "MiB at start"),
        fixed(mib(f["end"]["working_set"]), 2, "MiB at end"), "");
    row("handles", std::to_string(f["start"]["handles"].get<unsigned>()) + " at start",
        std::to_string(f["end"]["handles"].get<unsigned>()) + " at end", "");
  }
  for (const char* name : {"no_core", "core_running"}) {
    if (!r.contains("idle"))
      break;
    const json& i = r["idle"][name];
    std::string precise;
    if (i.contains("scheduler_cpu_ms"))
      precise = fixed(i["scheduler_cpu_ms"].get<double>(), 2, "ms (scheduler)");
    row(std::string("idle CPU, ") + (std::string(name) == "no_core" ? "no core" : "core running") +
            ", " + fixed(i["seconds"].get<double>(), 0, "s"),
        fixed(i["cpu_ms"].get<double>(), 0, "ms"), precise,
        i.contains("wineserver_cpu_ms")
            ? "wineserver " + fixed(i["wineserver_cpu_ms"].get<double>(), 2, "ms")
            : "");
  }
  if (r.contains("idle") && r["idle"].contains("no_helper")) {
    const json& i = r["idle"]["no_helper"];
    row("idle, no helper at all, " + fixed(i["seconds"].get<double>(), 0, "s"), "", "",
        "wineserver " + fixed(i["wineserver_cpu_ms"].get<double>(), 2, "ms"));
  }
  if (r.contains("flood")) {
    const json& f = r["flood"];
    row("malformed 1 MiB requests, log per request",
        fixed(f["log_bytes_per_request"].get<double>(), 0, "bytes"),
        std::to_string(f["requests"].get<int>()) + " requests",
        fixed(mib(f["start"]["private_bytes"]), 2, "->") + " " +
            fixed(mib(f["end"]["private_bytes"]), 2, "MiB private"));
  }
  // The targets, as ratios to the baselines of the same run.
  const auto check = [&](const char* name, const char* stat, double target) {
    if (!r.contains(name))
      return;
    const double value = r[name][std::string("ratio_") + stat].get<double>();
    if (value > target)
      std::printf("\nMISSED: %s %s is %.2f times its baseline (target: at most %.1f)", name, stat,
                  value, target);
  };
  for (const char* stat : {"median", "p99"}) {
    check("ping", stat, 1.1);
    check("status", stat, 1.1);
    check("cycle", stat, 1.3);
  }
  if (r.contains("flood")) {
    const json& f = r["flood"];
    const double per_request = f["log_bytes_per_request"].get<double>();
    if (per_request >= 1024)
      std::printf("\nMISSED: the log grows by %.0f bytes a malformed request (target: under 1 KiB)",
                  per_request);
    if (f["answered"].get<unsigned>() != 0)
      std::printf("\nWRONG: %u malformed requests were answered", f["answered"].get<unsigned>());
    // "Flat": no more than a few pages a request would leave behind.
    const double grown = f["private_growth_bytes"].get<double>();
    if (grown > 4.0 * 1048576)
      std::printf("\nMISSED: private bytes grew by %.1f MiB over the flood (target: flat)",
                  grown / 1048576.0);
  }
  std::printf("\n");
  std::fflush(stdout);
}

}  // namespace

int wmain(int argc, wchar_t** argv) {
  Options options;
  for (int i = 1; i < argc; ++i) {
    const std::wstring_view arg = argv[i];
    if (arg == L"--dir" && i + 1 < argc) {
      options.dir = argv[++i];
    } else if (arg == L"--out" && i + 1 < argc) {
      options.out = argv[++i];
    } else if (arg == L"--only" && i + 1 < argc) {
      const std::string list = bench::narrow(argv[++i]);
      for (std::size_t pos = 0; pos <= list.size();) {
        const std::size_t end = std::min(list.find(',', pos), list.size());
        options.only.push_back(list.substr(pos, end - pos));
        pos = end + 1;
      }
    } else if (arg == L"--quick") {
      options.pings = 300;
      options.statuses = 200;
      options.cycles = 6;
      options.relaunches = 3;
      options.warmup = 100;
      options.long_run = 1000;
      options.idle_seconds = 3;
      options.flood = 100;
    } else {
      die(kUsage);
    }
  }
  if (options.dir.empty() || options.out.empty())
    die(kUsage);
  while (!options.dir.empty() && (options.dir.back() == L'\\' || options.dir.back() == L'/'))
    options.dir.pop_back();

  std::optional<bench::Process> echo = bench::Process::launch(
      own_dir() + L"\\corvid_bench_echo.exe", L"corvid_bench_echo.exe " + kEchoPipe, L"", L"");
  if (!echo)
    die("cannot start the echo server: " + std::to_string(GetLastError()));
  const std::wstring helper_exe = options.dir + L"\\corvid_helper_service.exe";
  std::optional<bench::Process> helper =
      bench::Process::launch(helper_exe, L"\"" + helper_exe + L"\" console", options.dir,
                             options.dir + L"\\helper-console.log");
  if (!helper)
    die("cannot start the helper: " + std::to_string(GetLastError()));
  wait_for_pipe(kEchoPipe, "hello\n");
  wait_for_pipe(kHelperPipe, request("hello", "ping"));

  json results = json::object();
  // Right after start-up, before the load: shows that the figures below are live.
  const bench::Footprint at_launch = bench::footprint(helper->handle(), helper->pid());
  const auto pong = [](const Exchange& e) {
    const json r = parsed(e);
    return r.is_object() && r.value("ok", false) && r["data"].is_object() &&
           r["data"].value("pong", false);
  };
  // Warm both up first: the first connections pay for loading and first allocations.
  compare_round_trips("warm-up", helper_side(request("w", "ping"), pong),
                      echo_side(request("w", "ping")), 200);

  if (options.wanted("ping")) {
    std::printf("-- %d sequential connections each, helper and echo alternating\n", options.pings);
    results["ping"] = compare_round_trips("ping", helper_side(request("b1", "ping"), pong),
                                          echo_side(request("b1", "ping")), options.pings);
  }
  if (options.wanted("status")) {
    start_core("run\n");
    results["status"] = compare_round_trips(
        "status",
        helper_side(request("s1", "status"),
                    [](const Exchange& e) { return running_pid(e).has_value(); }),
        echo_side(request("s1", "status")), options.statuses);
    stop_core();
  }
  if (options.wanted("cycle")) {
    std::printf(
        "-- %d start, status, stop cycles against the configuration written, flushed and"
        " renamed, CreateProcessW, TerminateProcess, wait and three echo round trips\n",
        options.cycles);
    results["cycle"] = cycles(options);
  }
  if (options.wanted("relaunch")) {
    std::printf("-- %d core deaths at random moments\n", options.relaunches);
    results["relaunch"] = relaunches(options);
  }
  if (options.wanted("footprint")) {
    std::printf("-- footprint over a long run (core running)\n");
    results["footprint"] = long_run(options, *helper);
    results["footprint"]["at_launch"] = footprint_json(at_launch);
  }
  if (options.wanted("idle")) {
    std::printf("-- idle, %d s each\n", options.idle_seconds);
    if (!core_pid())
      start_core("run\n");
    results["idle"]["core_running"] = idle(options, *helper, "core running");
    stop_core();
    results["idle"]["no_core"] = idle(options, *helper, "no core     ");
  }
  if (options.wanted("flood")) {
    std::printf("-- %d malformed requests of 1 MiB\n", options.flood);
    results["flood"] = flood(options, *helper);
  }
  if (core_pid())
    stop_core();

  // Nothing left behind: the core is stopped; the helper and the echo end with their objects.
  helper.reset();
  if (options.wanted("idle")) {
    // What the wineserver spends on its own, for the figures above: the same quiet window
    // without the helper.
    const std::optional<std::uint64_t> before = bench::unix_cpu_ns("wineserver");
    const double t0 = bench::now_us();
    Sleep(static_cast<DWORD>(options.idle_seconds) * 1000);
    const double seconds = (bench::now_us() - t0) / 1e6;
    const std::optional<std::uint64_t> after = bench::unix_cpu_ns("wineserver");
    if (before && after) {
      const double server = static_cast<double>(*after - *before) / 1e6;
      results["idle"]["no_helper"] = {{"seconds", seconds}, {"wineserver_cpu_ms", server}};
      std::printf("idle     no helper   : wineserver %.2f ms in %.1f s\n", server, seconds);
    }
  }
  echo.reset();

  results["machine"] = machine();
  print_table(results);

  const std::string text = results.dump(2) + "\n";
  const corvid::WinHandle out(CreateFileW(options.out.c_str(), GENERIC_WRITE, 0, nullptr,
                                          CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr));
  DWORD written = 0;
  if (!out ||
      !WriteFile(out.get(), text.data(), static_cast<DWORD>(text.size()), &written, nullptr))
    die("cannot write " + bench::narrow(options.out));
  return 0;
}
