// grouper serve: the options of the service, its table sets and its token;
// the service itself is in src/serve/.
#include "app/commands.h"

#include <cstdio>
#include <filesystem>
#include <fstream>
#include <memory>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "app/command_line.h"
#include "episode_grouper/weights.h"
#include "serve/http_server.h"
#include "serve/service.h"
#include "serve/table_registry.h"

namespace grouper {
namespace {

constexpr int kExitFailure = 1;

constexpr const char* kDescription =
    "the grouping service over HTTP\n"
    "\n"
    "Serves the grouping over HTTP: POST /v1/group answers the result lines of\n"
    "episode lines (byte for byte those of the batch run) or their JSON Lines rows,\n"
    "and groups episodes given as JSON objects of named fields (answered in JSON\n"
    "with the record built from each), POST /v1/explain every step for one record\n"
    "or episode, GET / a page for one case, and GET /v1/tables, /healthz,\n"
    "/readyz, /metrics and /openapi.json.  Once it listens it prints\n"
    "'listening on http://HOST:PORT' on standard output; one access log\n"
    "line per request goes to standard error.  SIGHUP (or POST /v1/admin/reload)\n"
    "loads every table set again, keeping the old one where a load fails;\n"
    "SIGTERM or SIGINT stops taking connections and ends once the requests in\n"
    "flight are answered.";

constexpr const char* kFooter =
    "Exit status: 0 after a stop by signal, 1 when a table set, the token file or\n"
    "the address failed, 2 on bad usage.";

struct ServeOptions {
  std::vector<std::string> tables;
  std::string registry;
  std::string listen = "127.0.0.1:8080";
  std::string token_file;
  std::string weights;
  int threads = 1;
  int connections = 64;
  size_t max_body = size_t{64} << 20;
  int timeout = 10;
  int deadline = 10;
};

int failure(const std::string& message) {
  std::fprintf(stderr, "grouper serve: %s\n", message.c_str());
  return kExitFailure;
}

bool is_name(std::string_view text) {
  if (text.empty() || text.size() > 64) return false;
  for (char c : text) {
    const bool ok = (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') || c == '_' ||
                    c == '-' || c == '.';
    if (!ok) return false;
  }
  return true;
}

// NAME=DIR or DIR; a bare DIR is "default" when it comes first, else named
// after its last component.
std::vector<serve::SetConfig> table_sets(const std::vector<std::string>& given) {
  std::vector<serve::SetConfig> sets;
  for (const std::string& item : given.empty() ? std::vector<std::string>{"."} : given) {
    serve::SetConfig set;
    const size_t eq = item.find('=');
    if (eq != std::string::npos && is_name(item.substr(0, eq))) {
      set.name = item.substr(0, eq);
      set.directory = item.substr(eq + 1);
    } else {
      set.directory = item;
      set.name = sets.empty() ? "default" : std::filesystem::path(item).lexically_normal().filename().string();
    }
    if (set.directory.empty()) throw cli::UsageError("--tables " + item + ": the directory is empty");
    // Reloads and /v1/tables name the directory as it was at the start.
    set.directory = std::filesystem::absolute(set.directory).lexically_normal();
    if (!is_name(set.name)) {
      throw cli::UsageError("--tables " + item + ": give the set a name of letters, digits, '_', '-' or '.' (NAME=DIR)");
    }
    for (const serve::SetConfig& other : sets) {
      if (other.name == set.name) throw cli::UsageError("two table sets are named '" + set.name + "'");
    }
    sets.push_back(std::move(set));
  }
  return sets;
}

// HOST:PORT, the host without brackets.
void parse_listen(const std::string& text, serve::ServerOptions& out) {
  const size_t colon = text.rfind(':');
  if (colon == std::string::npos || colon == 0 || colon + 1 == text.size() || colon + 6 < text.size()) {
    throw cli::UsageError("--listen takes HOST:PORT, e.g. 127.0.0.1:8080 (port 0: any free port)");
  }
  std::string host = text.substr(0, colon);
  if (host.size() > 2 && host.front() == '[' && host.back() == ']') host = host.substr(1, host.size() - 2);
  const std::string port = text.substr(colon + 1);
  if (port.find_first_not_of("0123456789") != std::string::npos || std::stoi(port) > 65535) {
    throw cli::UsageError("--listen: the port is a number from 0 to 65535");
  }
  out.host = host;
  out.port = std::stoi(port);
}

// The options of a --config file that the command line did not give, read
// through the option itself so that its checks hold for the file too.
void apply_config(CLI::App& sub, const std::string& path) {
  std::vector<CLI::ConfigItem> items;
  try {
    items = CLI::ConfigTOML().from_file(path);
  } catch (const CLI::FileError&) {
    throw cli::UsageError("--config " + path + ": the file cannot be read");
  }
  for (const CLI::ConfigItem& item : items) {
    if (!item.parents.empty()) {
      throw cli::UsageError("--config " + path + ": the section [" + item.parents.front() + "] is not read");
    }
    CLI::Option* option = item.name == "config" ? nullptr : sub.get_option_no_throw("--" + item.name);
    if (option == nullptr) {
      throw cli::UsageError("--config " + path + ": '" + item.name + "' is not an option of grouper serve");
    }
    if (option->count() > 0) continue;
    option->add_result(item.inputs);
    option->run_callback();
  }
}

int run_serve(const ServeOptions& opt) {
  serve::ServerOptions server;
  parse_listen(opt.listen, server);
  if (!opt.registry.empty() && !opt.tables.empty()) {
    throw cli::UsageError("options '--tables' and '--registry' exclude each other");
  }
  if (!opt.registry.empty() && !opt.weights.empty()) {
    throw cli::UsageError("option '--weights' does not take '--registry' yet");
  }
  const std::vector<serve::SetConfig> sets = opt.registry.empty() ? table_sets(opt.tables)
                                                                  : std::vector<serve::SetConfig>{};
  server.connections = opt.connections;
  server.max_body = opt.max_body;
  server.timeout_seconds = opt.timeout;
  server.deadline_seconds = opt.deadline;

  std::string token;
  if (!opt.token_file.empty()) {
    std::ifstream in(opt.token_file, std::ios::binary);
    std::ostringstream text;
    if (!in || !(text << in.rdbuf())) return failure("cannot read the token file " + opt.token_file);
    token = text.str();
    while (!token.empty() && (token.back() == '\n' || token.back() == '\r' || token.back() == ' ')) token.pop_back();
    if (token.empty()) return failure("the token file " + opt.token_file + " is empty");
  }

  serve::TableRegistry registry;
  std::string error;
  if (opt.registry.empty() ? !registry.open(sets, error) : !registry.open_registry(opt.registry, error)) {
    return failure(error);
  }
  if (const auto dated = registry.dated()) {
    for (const std::string& gap : dated->registry->warnings()) {
      std::fprintf(stderr, "grouper serve: warning: %s\n", gap.c_str());
    }
  }
  serve::Service service(registry, token, opt.threads);
  if (!opt.weights.empty()) {
    episode_grouper::Status weight_error;
    auto weights = episode_grouper::WeightCatalogue::load(opt.weights, weight_error);
    if (!weights) return failure(weight_error.message);
    for (size_t i = 0; i < registry.size(); ++i) {
      const size_t unknown = weights->unknown_drgs(*registry.current(i)->tables).size();
      if (unknown > 0) {
        std::fprintf(stderr, "grouper serve: warning: %zu DRGs of %s are not in the DRG table of the set '%s'\n",
                     unknown, opt.weights.c_str(), registry.name(i).c_str());
      }
    }
    service.set_weights(std::move(weights));
  }
  return serve::run_server(service, server);
}

}  // namespace

void add_serve_command(CLI::App& app, int& status) {
  auto opt = std::make_shared<ServeOptions>();
  CLI::App* sub = app.add_subcommand("serve", kDescription);
  sub->footer(kFooter);
  sub->add_option("--tables", opt->tables,
                  "a table set: DIR, or NAME=DIR; repeatable, the first is the default set and a bare DIR first "
                  "is named 'default' (default: the current directory)")
      ->type_name("[NAME=]DIR")
      ->check(cli::non_empty())
      ->multi_option_policy(CLI::MultiOptionPolicy::TakeAll);
  sub->add_option("--registry", opt->registry,
                  "instead of --tables, a registry of table versions (tab-separated: name, directory, valid_from, "
                  "valid_to): each version is a set of its name (?tables=NAME), and a request that names none "
                  "groups each record with the version of its record date; a reload reads the registry again "
                  "and swaps it whole, or keeps the old one on any failure")
      ->type_name("FILE")
      ->check(cli::non_empty());
  sub->add_option("--weights", opt->weights,
                  "a cost-weight catalogue: JSON Lines answers carry weight, effective_weight and los_class, "
                  "and explain the record's weight")
      ->type_name("FILE")
      ->check(cli::non_empty());
  sub->add_option("--listen", opt->listen, "the address to listen on, HOST:PORT (default: 127.0.0.1:8080; port 0: any free port)")
      ->type_name("ADDR");
  opt->threads = static_cast<int>(std::max(1u, std::thread::hardware_concurrency()));
  sub->add_option("--threads", opt->threads, "requests grouped or explained at once (default: one per core)")
      ->type_name("N")
      ->check(CLI::Range(1, 1024));
  sub->add_option("--connections", opt->connections,
                  "connections served at once, each by a worker that mostly waits (default: 64); more wait for "
                  "their turn")
      ->type_name("N")
      ->check(CLI::Range(1, 4096));
  sub->add_option("--max-body", opt->max_body, "the largest request body taken, in bytes (default: 64 MiB)")
      ->type_name("BYTES")
      ->check(CLI::Range(size_t{1}, size_t{1} << 40));
  sub->add_option("--token-file", opt->token_file,
                  "every route but /healthz, /readyz and /v1/version then needs 'Authorization: Bearer TOKEN', "
                  "TOKEN being the file's text without its trailing line feed")
      ->type_name("FILE")
      ->check(cli::non_empty());
  sub->add_option("--timeout", opt->timeout, "seconds a client may take to send a request or read an answer (default: 10)")
      ->type_name("SECONDS")
      ->check(CLI::Range(1, 3600));
  sub->add_option("--shutdown-deadline", opt->deadline,
                  "seconds the requests in flight get after SIGTERM or SIGINT (default: 10)")
      ->type_name("SECONDS")
      ->check(CLI::Range(1, 3600));
  auto config = std::make_shared<std::string>();
  sub->add_option("--config", *config,
                  "read options from FILE (the system service's /etc/episode-grouper/serve.conf): lines NAME = "
                  "VALUE, NAME being an option's long name without its dashes (tables = \"/srv/tables\"; a list "
                  "tables = [\"a=/srv/a\", \"b=/srv/b\"] for several sets), '#' starting a comment; an option "
                  "given on the command line wins over the file")
      ->type_name("FILE")
      ->check(cli::non_empty());
  sub->callback([sub, opt, config, &status] {
    if (!config->empty()) apply_config(*sub, *config);
    status = run_serve(*opt);
  });
}

}  // namespace grouper
