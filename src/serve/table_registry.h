// The named table sets a service serves, each replaced whole on reload.
//
// The names and directories are fixed when the registry is made; only the
// loaded sets change.  current() hands out the set a request keeps until it
// ends; reload() loads every directory again and publishes each set that
// loads completely in one atomic step, keeping the old one where a load
// fails.  All members may be called from any thread.
#pragma once

#include <atomic>
#include <cstdint>
#include <filesystem>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "episode_grouper/grouper.h"
#include "episode_grouper/table_registry.h"
#include "episode_grouper/table_set.h"

namespace grouper::serve {

// The Groupers over one generation of a set, lent to one request at a time:
// as many as requests ever grouped on it at once, freed with the generation.
class GrouperPool {
 public:
  explicit GrouperPool(std::shared_ptr<const episode_grouper::TableSet> tables) : tables_(std::move(tables)) {}

  // A Grouper of the pool, or a new one when all are lent.
  std::unique_ptr<episode_grouper::Grouper> take() const;
  void give_back(std::unique_ptr<episode_grouper::Grouper> grouper) const;

 private:
  std::shared_ptr<const episode_grouper::TableSet> tables_;
  mutable std::mutex mutex_;
  mutable std::vector<std::unique_ptr<episode_grouper::Grouper>> idle_;
};

// One loaded generation of a set: immutable once published (but for the
// Groupers its pool lends).
struct LoadedSet {
  explicit LoadedSet(std::shared_ptr<const episode_grouper::TableSet> set) : tables(set), groupers(set) {}

  std::shared_ptr<const episode_grouper::TableSet> tables;
  GrouperPool groupers;
  uint64_t generation = 0;  // unique across every registry of the process
  int64_t loaded_at_ms = 0;  // Unix time of the load, milliseconds
  std::string checksum;      // FNV-1a 64 of the sixteen files (names and bytes), hex
};

struct SetConfig {
  std::string name;
  std::filesystem::path directory;
};

// What a reload of one set did.
struct ReloadOutcome {
  std::string name;
  bool ok = false;
  episode_grouper::StatusKind kind = episode_grouper::StatusKind::kOk;  // why it failed
  std::string message;  // the loader's message when it failed
};

// The versions of a registry of table versions as one generation: the
// registry and its versions' loaded sets (in its versions() order), with
// the RegistryGroupers lent to requests that group by record date.
struct DatedSets {
  std::shared_ptr<const episode_grouper::TableRegistry> registry;
  std::vector<std::shared_ptr<const LoadedSet>> sets;

  std::unique_ptr<episode_grouper::RegistryGrouper> take() const;
  void give_back(std::unique_ptr<episode_grouper::RegistryGrouper> grouper) const;

 private:
  mutable std::mutex mutex_;
  mutable std::vector<std::unique_ptr<episode_grouper::RegistryGrouper>> idle_;
};

class TableRegistry {
 public:
  // Serves the versions of the registry `file` (see
  // episode_grouper/table_registry.h) as its sets, by their names, the
  // earliest first; dated() then gives them all as one generation.  A
  // reload reads the file again and publishes the new generation whole, or
  // keeps the old one on any failure, and also when the new file names other
  // versions than those served (a restart serves them).
  bool open_registry(const std::filesystem::path& file, std::string& error);
  // The generation of the registry's versions; null when the sets were not
  // given by a registry.
  std::shared_ptr<const DatedSets> dated() const { return dated_.load(); }

  // Loads every set once; fails (false, `error` naming the set) when any
  // does not load.
  bool open(const std::vector<SetConfig>& sets, std::string& error);

  size_t size() const { return slots_.size(); }
  const std::string& name(size_t i) const { return slots_[i]->config.name; }
  const std::filesystem::path& directory(size_t i) const { return slots_[i]->config.directory; }
  // The index of the set named `name`, or -1; "" names the first (default) set.
  int find(std::string_view name) const;

  std::shared_ptr<const LoadedSet> current(size_t i) const { return slots_[i]->current.load(); }

  // Loads every set again; one outcome per set, in order.  Reloads run one
  // at a time.
  std::vector<ReloadOutcome> reload();

 private:
  struct Slot {
    SetConfig config;
    std::atomic<std::shared_ptr<const LoadedSet>> current;
  };
  static std::shared_ptr<const LoadedSet> load(const SetConfig& config, episode_grouper::Status& error);

  std::vector<ReloadOutcome> reload_registry();

  std::vector<std::unique_ptr<Slot>> slots_;
  std::mutex reload_mutex_;
  std::filesystem::path registry_file_;  // "" when the sets were given one by one
  std::atomic<std::shared_ptr<const DatedSets>> dated_;
};

}  // namespace grouper::serve
