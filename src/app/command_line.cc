#include "app/command_line.h"

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <cstdio>
#include <memory>
#include <sstream>
#include <thread>

namespace grouper::cli {

const CLI::Validator& non_empty() {
  static const CLI::Validator check(
      [](const std::string& value) { return value.empty() ? std::string("needs a non-empty value") : std::string(); },
      "", "non-empty");
  return check;
}

CLI::Option* add_count_option(CLI::App& app, const std::string& name, uint64_t& value, const std::string& text) {
  return app
      .add_option_function<std::string>(
          name,
          [&value, name](const std::string& digits) {
            errno = 0;
            char* end = nullptr;
            const unsigned long long n = std::strtoull(digits.c_str(), &end, 10);
            if (digits.empty() || digits.find_first_not_of("0123456789") != std::string::npos || errno != 0) {
              throw CLI::ValidationError(name, "takes a whole number");
            }
            value = n;
          },
          text)
      ->type_name("N");
}

CLI::Option* add_threads_option(CLI::App& app, int& threads) {
  threads = static_cast<int>(std::max(1u, std::thread::hardware_concurrency()));
  return app
      .add_option_function<std::string>(
          "-j,--threads",
          [&threads](const std::string& text) {
            if (text.empty() || text.size() > 4 || text.find_first_not_of("0123456789") != std::string::npos) {
              throw CLI::ValidationError("--threads", "takes a whole number from 0 to 9999");
            }
            const int n = std::stoi(text);
            if (n > 0) threads = n;
          },
          "group with N threads (0, the default: one per core); the output is the same byte for byte whatever N is")
      ->type_name("N");
}

namespace {

// Help in the house style: an option shows the name of its value only, its
// text wraps within 80 columns, and a subcommand in a list shows the first
// line of its description.
class HelpFormatter : public CLI::Formatter {
 public:
  std::string make_option_opts(const CLI::Option* opt) const override {
    // The checks append their own words after a colon: "N:UINT in [1 - ...]".
    const std::string name = opt->get_type_name();
    return opt->get_type_size() == 0 ? std::string() : " " + name.substr(0, name.find(':'));
  }
  std::string make_option_desc(const CLI::Option* opt) const override { return wrap(opt->get_description()); }
  std::string make_subcommand(const CLI::App* sub) const override {
    std::stringstream out;
    const std::string& text = sub->get_description();
    CLI::detail::format_help(out, sub->get_name(), text.substr(0, text.find('\n')), get_column_width());
    return out.str();
  }

 private:
  std::string wrap(const std::string& text) const {
    const size_t width = 80 - get_column_width();
    std::string out;
    size_t line = 0;
    std::istringstream words(text);
    for (std::string word; words >> word;) {
      if (line > 0 && line + 1 + word.size() > width) {
        out += '\n';
        line = 0;
      } else if (line > 0) {
        out += ' ';
        ++line;
      }
      out += word;
      line += word.size();
    }
    return out;
  }
};

}  // namespace

void configure(CLI::App& app, const std::string& version) {
  app.formatter(std::make_shared<HelpFormatter>());
  app.set_help_flag("-h,--help", "print this help and exit");
  if (!version.empty()) app.set_version_flag("--version", version, "print the version and exit");
  app.option_defaults()->multi_option_policy(CLI::MultiOptionPolicy::Throw);
  app.get_formatter()->column_width(30);
}

namespace {

// The command line of the subcommand that was being read, "grouper explain"
// say, for the messages.
std::string command_path(const CLI::App& app) {
  std::string path = app.get_name();
  for (const CLI::App* sub = &app; !sub->get_subcommands().empty();) {
    sub = sub->get_subcommands().front();
    path += " " + sub->get_name();
  }
  return path;
}

}  // namespace

int parse_and_run(CLI::App& app, int argc, char** argv, const int& status) {
  try {
    app.parse(argc, argv);
  } catch (const CLI::CallForHelp&) {
    std::fputs(app.help().c_str(), stdout);
    return 0;
  } catch (const CLI::CallForVersion&) {
    std::fputs((app.version() + "\n").c_str(), stdout);
    return 0;
  } catch (const CLI::ParseError& e) {
    const std::string path = command_path(app);
    std::fprintf(stderr, "%s: %s\nTry '%s --help' for more information.\n", path.c_str(), e.what(), path.c_str());
    return kExitUsage;
  }
  return status;
}

}  // namespace grouper::cli
