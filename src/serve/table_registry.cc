// Loading and publishing the named table sets.
#include "serve/table_registry.h"

#include <chrono>
#include <fstream>

#include "tables/load_plan.h"

namespace grouper::serve {
namespace {

std::atomic<uint64_t> next_generation{1};

// FNV-1a 64 over each file's name and bytes in load order.  The files are
// read apart from the load, so a directory changed during a load may give a
// checksum of other bytes than those loaded; reloads replace whole
// directories (see the README) and so do not meet that case.
std::string checksum_of(const std::filesystem::path& dir) {
  uint64_t h = 1469598103934665603ull;
  auto mix = [&h](const char* data, size_t n) {
    for (size_t i = 0; i < n; ++i) {
      h ^= static_cast<unsigned char>(data[i]);
      h *= 1099511628211ull;
    }
  };
  char buffer[1 << 16];
  for (const FileSpec& file : load_plan()) {
    mix(file.name.data(), file.name.size());
    std::ifstream in(dir / std::string(file.name), std::ios::binary);
    while (in) {
      in.read(buffer, sizeof buffer);
      mix(buffer, static_cast<size_t>(in.gcount()));
    }
  }
  char text[17];
  static const char kHex[] = "0123456789abcdef";
  for (int i = 15; i >= 0; --i, h >>= 4) text[i] = kHex[h & 15];
  return std::string(text, 16);
}

}  // namespace

std::unique_ptr<episode_grouper::Grouper> GrouperPool::take() const {
  {
    std::lock_guard<std::mutex> lock(mutex_);
    if (!idle_.empty()) {
      std::unique_ptr<episode_grouper::Grouper> grouper = std::move(idle_.back());
      idle_.pop_back();
      return grouper;
    }
  }
  return std::make_unique<episode_grouper::Grouper>(tables_);
}

void GrouperPool::give_back(std::unique_ptr<episode_grouper::Grouper> grouper) const {
  std::lock_guard<std::mutex> lock(mutex_);
  idle_.push_back(std::move(grouper));
}

std::unique_ptr<episode_grouper::RegistryGrouper> DatedSets::take() const {
  {
    std::lock_guard<std::mutex> lock(mutex_);
    if (!idle_.empty()) {
      std::unique_ptr<episode_grouper::RegistryGrouper> grouper = std::move(idle_.back());
      idle_.pop_back();
      return grouper;
    }
  }
  return std::make_unique<episode_grouper::RegistryGrouper>(registry);
}

void DatedSets::give_back(std::unique_ptr<episode_grouper::RegistryGrouper> grouper) const {
  std::lock_guard<std::mutex> lock(mutex_);
  idle_.push_back(std::move(grouper));
}

namespace {

// A loaded set of a set already opened (a registry's version).
std::shared_ptr<const LoadedSet> loaded(std::shared_ptr<const episode_grouper::TableSet> tables,
                                        const std::filesystem::path& dir) {
  auto set = std::make_shared<LoadedSet>(std::move(tables));
  set->generation = next_generation.fetch_add(1);
  set->loaded_at_ms = std::chrono::duration_cast<std::chrono::milliseconds>(
                          std::chrono::system_clock::now().time_since_epoch())
                          .count();
  set->checksum = checksum_of(dir);
  return set;
}

// Opens the registry `file` into a generation; null with `error` filled.
std::shared_ptr<const DatedSets> open_dated(const std::filesystem::path& file, episode_grouper::Status& error) {
  auto registry = episode_grouper::TableRegistry::open(file, error);
  if (!registry) return nullptr;
  auto dated = std::make_shared<DatedSets>();
  dated->registry = registry;
  for (const episode_grouper::TableVersion& v : registry->versions()) dated->sets.push_back(loaded(v.tables, v.directory));
  return dated;
}

}  // namespace

bool TableRegistry::open_registry(const std::filesystem::path& file, std::string& error) {
  slots_.clear();
  episode_grouper::Status status;
  auto dated = open_dated(file, status);
  if (!dated) {
    error = status.message;
    return false;
  }
  const auto& versions = dated->registry->versions();
  for (size_t i = 0; i < versions.size(); ++i) {
    auto slot = std::make_unique<Slot>();
    slot->config = {versions[i].name, versions[i].directory};
    slot->current.store(dated->sets[i]);
    slots_.push_back(std::move(slot));
  }
  registry_file_ = file;
  dated_.store(std::move(dated));
  return true;
}

std::vector<ReloadOutcome> TableRegistry::reload_registry() {
  episode_grouper::Status status;
  auto dated = open_dated(registry_file_, status);
  bool same = dated != nullptr && dated->sets.size() == slots_.size();
  for (size_t i = 0; same && i < slots_.size(); ++i) {
    same = dated->registry->versions()[i].name == slots_[i]->config.name &&
           dated->registry->versions()[i].directory == slots_[i]->config.directory;
  }
  if (dated && !same) {
    status.kind = episode_grouper::StatusKind::kRegistry;
    status.message = registry_file_.string() +
                     ": names other versions or directories than those served; restart the service to serve them";
  }
  std::vector<ReloadOutcome> outcomes;
  for (size_t i = 0; i < slots_.size(); ++i) {
    ReloadOutcome outcome;
    outcome.name = slots_[i]->config.name;
    outcome.ok = same;
    outcome.kind = same ? episode_grouper::StatusKind::kOk : status.kind;
    outcome.message = same ? std::string() : status.message;
    outcomes.push_back(std::move(outcome));
  }
  if (!same) return outcomes;
  // The generation by date is published in one step; the sets named one by
  // one follow it.
  for (size_t i = 0; i < slots_.size(); ++i) slots_[i]->current.store(dated->sets[i]);
  dated_.store(std::move(dated));
  return outcomes;
}

std::shared_ptr<const LoadedSet> TableRegistry::load(const SetConfig& config, episode_grouper::Status& error) {
  auto tables = episode_grouper::TableSet::open(config.directory, error);
  if (!tables) return nullptr;
  return loaded(std::move(tables), config.directory);
}

bool TableRegistry::open(const std::vector<SetConfig>& sets, std::string& error) {
  slots_.clear();
  for (const SetConfig& config : sets) {
    auto slot = std::make_unique<Slot>();
    slot->config = config;
    episode_grouper::Status status;
    auto set = load(config, status);
    if (!set) {
      error = "table set '" + config.name + "': " + status.message;
      return false;
    }
    slot->current.store(std::move(set));
    slots_.push_back(std::move(slot));
  }
  return true;
}

int TableRegistry::find(std::string_view name) const {
  if (name.empty()) return slots_.empty() ? -1 : 0;
  for (size_t i = 0; i < slots_.size(); ++i) {
    if (slots_[i]->config.name == name) return static_cast<int>(i);
  }
  return -1;
}

std::vector<ReloadOutcome> TableRegistry::reload() {
  std::lock_guard<std::mutex> lock(reload_mutex_);
  if (!registry_file_.empty()) return reload_registry();
  std::vector<ReloadOutcome> outcomes;
  for (auto& slot : slots_) {
    ReloadOutcome outcome;
    outcome.name = slot->config.name;
    episode_grouper::Status status;
    auto set = load(slot->config, status);
    if (set) {
      slot->current.store(std::move(set));
      outcome.ok = true;
    }
    outcome.kind = status.kind;
    outcome.message = status.message;
    outcomes.push_back(std::move(outcome));
  }
  return outcomes;
}

}  // namespace grouper::serve
