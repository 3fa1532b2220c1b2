#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "cli.h"

namespace {

using ota_tool::parse_command_line;

ota_tool::ParsedLine parse(std::vector<const char*> words) {
  words.insert(words.begin(), "ota_tool");
  return parse_command_line(static_cast<int>(words.size()), words.data());
}

// Lines the tool accepts, with what each one asks for.
TEST(CommandLineTest, AcceptedLines) {
  auto p = parse({"update", "/userdata/a.zip", "--json", "--log", "/tmp/l"});
  ASSERT_TRUE(p.options) << p.error;
  EXPECT_EQ(p.options->command, "update");
  EXPECT_EQ(p.options->arg, "/userdata/a.zip");
  EXPECT_TRUE(p.options->json);
  EXPECT_EQ(p.options->log_file, "/tmp/l");

  p = parse({"boot-check", "--reboot-cmd=systemctl --no-block reboot", "--health-dir", "/h",
             "--check-timeout", "7"});
  ASSERT_TRUE(p.options) << p.error;
  EXPECT_EQ(p.options->reboot_cmd, "systemctl --no-block reboot");
  EXPECT_EQ(p.options->health_dir, "/h");
  EXPECT_EQ(p.options->check_timeout_s, 7);
  EXPECT_FALSE(p.options->json);

  p = parse({"boot-check"});
  ASSERT_TRUE(p.options) << p.error;
  EXPECT_EQ(p.options->health_dir, "/etc/mirvo/ota-health.d");
  EXPECT_EQ(p.options->check_timeout_s, 60);
  EXPECT_TRUE(p.options->reboot_cmd.empty());

  p = parse({"--json", "status"});  // an option before the command is not one
  EXPECT_FALSE(p.options);
  p = parse({"status", "--json"});
  ASSERT_TRUE(p.options) << p.error;
  EXPECT_TRUE(p.options->json);
}

// Every wrong line is refused with a reason naming what is wrong.
TEST(CommandLineTest, RefusedLines) {
  const struct {
    std::vector<const char*> words;
    const char* says;
  } rows[] = {
      {{}, "no command"},
      {{"frobnicate"}, "unknown command 'frobnicate'"},
      {{"update"}, "update needs PKG"},
      {{"set-slot"}, "set-slot needs a|b"},
      {{"check", "b"}, "unexpected argument 'b'"},
      {{"update", "/a.zip", "/b.zip"}, "unexpected argument '/b.zip'"},
      {{"check", "--json"}, "check takes no option --json"},
      {{"update", "/a.zip", "--reboot-cmd", "x"}, "update takes no option --reboot-cmd"},
      {{"status", "--json=yes"}, "--json takes no value"},
      {{"status", "--log"}, "--log needs a value"},
      {{"status", "--log="}, "--log needs a file name"},
      {{"boot-check", "--check-timeout", "0"}, "from 1 to 86400, not '0'"},
      {{"boot-check", "--check-timeout", "5s"}, "not '5s'"},
      {{"boot-check", "--health-dir="}, "--health-dir needs a folder"},
      {{"boot-check", "--bogus"}, "unknown option --bogus"},
      {{"help", "nothing"}, "unknown command 'nothing'"},
  };
  for (const auto& row : rows) {
    const auto p = parse(row.words);
    EXPECT_FALSE(p.options) << row.says;
    EXPECT_NE(p.error.find(row.says), std::string::npos) << p.error;
  }
}

TEST(CommandLineTest, HelpRequests) {
  for (const auto& words : std::vector<std::vector<const char*>>{
           {"--help"}, {"-h"}, {"help"}, {"update", "--help"}, {"help", "boot-check"}}) {
    const auto p = parse(words);
    ASSERT_TRUE(p.options) << p.error;
    EXPECT_TRUE(p.options->help) << words[0];
  }
  EXPECT_EQ(parse({"help", "boot-check"}).options->command, "boot-check");
  EXPECT_EQ(parse({"help"}).options->command, "");
  // A command's help is given even without the argument it otherwise needs.
  EXPECT_EQ(parse({"update", "--help"}).options->command, "update");
}

// The help of each command lists exactly the options it accepts, and the general help
// lists every command, every option and the exit statuses.
TEST(CommandLineTest, HelpListsEveryOption) {
  const struct {
    const char* command;
    std::vector<const char*> has;
    std::vector<const char*> lacks;
  } rows[] = {
      {"update", {"--json", "--log FILE", "PKG[;PKG...]"}, {"--reboot-cmd", "--health-dir"}},
      {"status", {"--json", "--log FILE"}, {"--check-timeout"}},
      {"boot-check",
       {"--reboot-cmd CMD", "--health-dir DIR", "--check-timeout S", "--log FILE",
        "/etc/mirvo/ota-health.d"},
       {"--json"}},
      {"set-slot", {"a|b", "--log FILE"}, {"--json"}},
      {"version", {}, {"--log", "--json"}},
  };
  for (const auto& row : rows) {
    const std::string help = ota_tool::command_help(row.command);
    for (const char* want : row.has) {
      EXPECT_NE(help.find(want), std::string::npos) << row.command << " lacks " << want;
    }
    for (const char* not_want : row.lacks) {
      EXPECT_EQ(help.find(not_want), std::string::npos) << row.command << " shows " << not_want;
    }
    EXPECT_NE(help.find("5  boot-check rolled back"), std::string::npos) << row.command;
  }
  const std::string all = ota_tool::general_help();
  for (const char* word :
       {"update", "set-slot", "check", "confirm", "sync", "clear", "boot-check", "notify-mcu",
        "slot", "version", "status", "--log FILE", "--json", "--reboot-cmd CMD", "--health-dir DIR",
        "--check-timeout S", "0  done", "1  the operation failed", "2  usage error"}) {
    EXPECT_NE(all.find(word), std::string::npos) << word;
  }
  EXPECT_EQ(ota_tool::command_help("nothing"), "");
}

}  // namespace
