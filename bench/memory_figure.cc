// Pushing through one extension process and reading /proc while it lives.
#include "bench/memory_figure.h"

#include <stdexcept>
#include <vector>

#include "bench/child_process.h"
#include "bench/durable_commit.h"
#include "bench/extension_session.h"
#include "bench/proc_memory.h"
#include "bench/scratch_folder.h"

namespace quenlarch::bench {
namespace {

// The kinds of push a day brings, in turn: two counted, one uncounted carrying a badge (a read),
// one uncounted without (nothing to do).
const char* const kPayloads[] = {
    R"({"aps":{"alert":{"loc-key":"Neue Nachricht","loc-args":["Ada"],"title":"Ada"},)"
    R"("sound":"default","mutable-content":1},"conversation":"c-17"})",
    R"({"aps":{"alert":{"loc-key":"Verpasster Anruf","loc-args":["Grace"]},"sound":"default",)"
    R"("mutable-content":1},"call":"k-3"})",
    R"({"aps":{"badge":99,"content-available":1,"mutable-content":1},"sync":"inbox"})",
    R"({"aps":{"alert":"Hallo","mutable-content":1}})",
};

long kib(pid_t pid, const char* field) {
  std::optional<long> value = statusKiB(pid, field);
  if (!value) throw std::runtime_error(std::string("cannot read ") + field);
  return *value;
}

// A held bench-trivial's peak and mappings.
nlohmann::json trivialMemory(const std::string& trivial, const std::optional<std::string>& db) {
  std::vector<std::string> argv{trivial, "--hold"};
  if (db) argv.insert(argv.end(), {"--commit", *db});
  std::unique_ptr<ChildProcess> child = ChildProcess::spawn({argv, {}, true});
  if (child->readLine() != "ready") throw std::runtime_error("bench-trivial did not hold");
  nlohmann::json result{{"hwm", kib(child->pid(), "VmHWM")},
                        {"mappings", residentKiBByMapping(child->pid())}};
  child->wait();
  return result;
}

}  // namespace

nlohmann::json measureMemory(const MemorySetup& setup) {
  std::vector<std::shared_ptr<const PushContent>> contents;
  for (const char* payload : kPayloads) contents.push_back(contentFromPayload(payload));

  ExtensionSession session(setup.app +
                               "/Contents/PlugIns/BadgeService.appex/Contents/MacOS/"
                               "BadgeService",
                           setup.keychain);
  const long hwmReady = kib(session.pid(), "VmHWM");
  long hwmAt100 = 0;
  long anonAt100 = 0;
  for (int push = 1; push <= setup.pushes; ++push) {
    session.push(contents[static_cast<std::size_t>(push - 1) % std::size(contents)]);
    if (push == 100) {
      hwmAt100 = kib(session.pid(), "VmHWM");
      anonAt100 = kib(session.pid(), "RssAnon");
    }
  }
  nlohmann::json extension{{"hwmReady", hwmReady},
                           {"hwmAfter100", hwmAt100},
                           {"hwmAfterAll", kib(session.pid(), "VmHWM")},
                           {"anonAfter100", anonAt100},
                           {"anonAfterAll", kib(session.pid(), "RssAnon")},
                           {"rssAfterAll", kib(session.pid(), "VmRSS")},
                           {"pushes", setup.pushes},
                           {"mappings", residentKiBByMapping(session.pid())}};
  if (session.finish() != 0) throw std::runtime_error("BadgeService failed");

  ScratchFolder folder;
  DurableCommit::create(folder.file("floor.sqlite"));
  return {{"extension", extension},
          {"trivial", trivialMemory(setup.trivial, std::nullopt)},
          {"trivialCommit", trivialMemory(setup.trivial, folder.file("floor.sqlite"))}};
}

}  // namespace quenlarch::bench
