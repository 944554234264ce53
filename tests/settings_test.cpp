// Command line, banner, usage screen and the choice of text encodings.
#include <gtest/gtest.h>

#include <cstdlib>
#include <cstring>
#include <optional>
#include <string>
#include <vector>

#include "app/settings.h"
#include "output/ports.h"
#include "support/support.h"

namespace {

const std::string BANNER =
    "songrelay: Simple MIDI-File Player for RAW-MIDI Interface(USB MIDI). Version 0.8.3 (2020/08/23)\n"
    " Written for musicians who drive a hardware synth from a terminal.\n";

const std::string USAGE =
    "usage: songrelay [option] MIDIfile(.mid)\n"
    "  -d device_name      Use RAW-MIDI device /dev/[device_name]X.Y (X & Y is auto-serarch)\n"
    "  -0 device_fullname  Use Port-0 RAW-MIDI device /dev/[device_fullname]\n"
    "  -1 device_fullname  Use Port-1 RAW-MIDI device /dev/[device_fullname]\n"
    "  -2 device_fullname  Use Port-2 RAW-MIDI device /dev/[device_fullname]\n"
    "  -3 device_fullname  Use Port-3 RAW-MIDI device /dev/[device_fullname]\n"
    "  -r                  Not auto-append XG/GS/GM REST code\n"
    "  -q                  Quiet mode (No output Meta-Event Text for console)\n"
    "  -v                  Verbose mode\n"
    "  -l language_code    Text Language-Code in MIDI-File MetaEvent\n"
    "  -t language_code    Output Text Language-Code for Terminal\n"
    "  -h                  Help (This Message)\n"
    "\n        The parameter \"language_code\" of Option -l & -t is ability\n"
    "        to specify a value that is displayed in the command \"iconv -l\"\n\n";

struct CommandCase {
  const char* name;
  std::vector<std::string> args;
  int exit_status;
  std::string err;  // the whole of standard error
  std::string out;
  std::vector<std::string> env = {};  // changes to the environment, as run_process takes them
};

// A converter that cannot be opened: the error line, then one line for
// each encoding that iconv does not know, with the option that names it.
const std::string ICONV_LINE = "Error!!: Can't Initialize libiconv (22)\n";
std::string SOURCE_REASON(const std::string& shown) {
  return "Reason: the song's text encoding (-l) " + shown +
         " is not one that iconv knows; iconv -l lists the known "
         "ones.\n";
}
std::string TERMINAL_REASON(const std::string& shown) {
  return "Reason: the terminal's encoding (-t, else the locale's) " + shown +
         " is not one that iconv knows; iconv -l lists the known ones.\n";
}

TEST(CommandLine, UsageErrorsAndHelpPrintExactScreens) {
  const std::string bad_option = std::string(SONGRELAY_BIN) + ": invalid option -- 'x'\n";
  const std::string no_argument = std::string(SONGRELAY_BIN) + ": option requires an argument -- 't'\n";
  const std::vector<CommandCase> cases = {
      {"no arguments", {}, 1, BANNER + USAGE, ""},
      {"help", {"-h"}, 0, BANNER + USAGE, ""},
      {"help stops parsing", {"-h", "-x"}, 0, BANNER + USAGE, ""},
      {"unknown option before help", {"-x", "-h"}, 1, BANNER + bad_option + USAGE, ""},
      {"missing option argument", {"-t"}, 1, BANNER + no_argument + USAGE, ""},
      {"two operands", {"a.mid", "b.mid"}, 1, BANNER + USAGE, ""},
      {"option after the operand is an operand", {"a.mid", "-v"}, 1, BANNER + USAGE, ""},
      {"verbose names the file even when iconv fails",
       {"-v", "-t", "NO-SUCH-CODE", "a.mid"},
       1,
       BANNER + ICONV_LINE + TERMINAL_REASON("NO-SUCH-CODE"),
       "  [MIDI File ]: a.mid\n"},
      {"unknown source encoding", {"-l", "nosuch", "a.mid"}, 1, BANNER + ICONV_LINE + SOURCE_REASON("NOSUCH"), ""},
      {"both unknown, each named",
       {"-l", "NO-SUCH-CODE", "-t", "NOSUCH", "a.mid"},
       1,
       BANNER + ICONV_LINE + SOURCE_REASON("NO-SUCH-CODE") + TERMINAL_REASON("NOSUCH"),
       ""},
      {"the locale's unknown encoding",
       {"a.mid"},
       1,
       BANNER + ICONV_LINE + TERMINAL_REASON("NOSUCH"),
       "",
       {"LC_ALL=xx_XX.nosuch"}},
      // ESC in caret notation; the lone byte 0x9B (CSI in Latin-1) is no UTF-8 character.
      {"a name that would steer the terminal",
       {"-l", "X\x1b[2J\x9b", "-t", "UTF-8", "a.mid"},
       1,
       BANNER + ICONV_LINE + SOURCE_REASON("X^[[2J\xEF\xBF\xBD"),
       ""},
  };
  for (const CommandCase& c : cases) {
    std::vector<std::string> argv{SONGRELAY_BIN};
    argv.insert(argv.end(), c.args.begin(), c.args.end());
    ProcessResult result = run_process(SONGRELAY_BIN, argv, c.env);
    EXPECT_EQ(result.exit_status, c.exit_status) << c.name;
    EXPECT_EQ(result.err, c.err) << c.name;
    EXPECT_EQ(result.out, c.out) << c.name;
  }
}

// The three locale variables that can name the terminal's encoding.
const char* const LOCALE_VARIABLES[] = {"LC_ALL", "LC_CTYPE", "LANG"};

// Runs the option parser and the defaults in this process, with only the
// locale variables of locale ("NAME=value") set, and returns the two names.
std::pair<std::string, std::string> encodings_for(std::vector<std::string> args,
                                                  const std::vector<std::string>& locale) {
  for (const char* name : LOCALE_VARIABLES) unsetenv(name);
  for (const std::string& entry : locale) {
    size_t eq = entry.find('=');
    setenv(entry.substr(0, eq).c_str(), entry.substr(eq + 1).c_str(), 1);
  }
  args.insert(args.begin(), "songrelay");
  args.push_back("song.mid");
  std::vector<char*> argv;
  for (std::string& arg : args) argv.push_back(arg.data());
  argv.push_back(nullptr);
  clear_settings();
  testing::internal::CaptureStderr();
  ParseOutcome outcome = parse_command_line(static_cast<int>(argv.size() - 1), argv.data());
  testing::internal::GetCapturedStderr();
  EXPECT_EQ(outcome, PARSE_RUN);
  choose_encodings();
  return {text_converter.source_encoding, text_converter.terminal_encoding};
}

struct EncodingCase {
  const char* name;
  std::vector<std::string> args;
  std::vector<std::string> locale;  // "NAME=value"; the locale variables not named are unset
  std::string source;
  std::string terminal;
};

TEST(Encodings, OptionsAndLocaleChooseTheNames) {
  const std::string s63(63, 'a'), s64(64, 'b');
  const std::vector<EncodingCase> cases = {
      {"defaults without a locale", {}, {}, "SHIFT_JISX0213", "EUC-JP"},
      {"LANG gives the part after its first dot", {}, {"LANG=ja_JP.UTF-8"}, "SHIFT_JISX0213", "UTF-8"},
      {"LANG is upper-cased", {}, {"LANG=ja_JP.eucJP"}, "SHIFT_JISX0213", "EUCJP"},
      {"LANG x.y.z keeps everything after the first dot", {}, {"LANG=x.y.z"}, "SHIFT_JISX0213", "Y.Z"},
      {"LANG without a dot", {}, {"LANG=C"}, "SHIFT_JISX0213", "EUC-JP"},
      {"LANG ending in its dot", {}, {"LANG=ja_JP."}, "SHIFT_JISX0213", "EUC-JP"},
      {"LANG's modifier is not part of the encoding", {}, {"LANG=de_DE.UTF-8@euro"}, "SHIFT_JISX0213", "UTF-8"},
      {"LANG's modifier after a lower-case encoding", {}, {"LANG=sr_RS.utf8@latin"}, "SHIFT_JISX0213", "UTF8"},
      {"LANG with a modifier and no encoding", {}, {"LANG=de_DE@euro"}, "SHIFT_JISX0213", "EUC-JP"},
      {"LANG with a modifier right after its dot", {}, {"LANG=ca_ES.@valencia"}, "SHIFT_JISX0213", "EUC-JP"},
      {"LANG of 63 characters is used", {}, {"LANG=a." + std::string(61, 'c')}, "SHIFT_JISX0213", std::string(61, 'C')},
      {"LANG of 64 characters is ignored", {}, {"LANG=a." + std::string(62, 'c')}, "SHIFT_JISX0213", "EUC-JP"},
      {"LC_ALL alone", {}, {"LC_ALL=en_US.UTF-8"}, "SHIFT_JISX0213", "UTF-8"},
      {"LC_ALL wins over LANG=C", {}, {"LC_ALL=en_US.UTF-8", "LANG=C"}, "SHIFT_JISX0213", "UTF-8"},
      {"LC_ALL wins over LC_CTYPE and LANG",
       {},
       {"LC_ALL=ja_JP.eucJP", "LC_CTYPE=en_US.UTF-8", "LANG=de_DE.ISO-8859-1"},
       "SHIFT_JISX0213",
       "EUCJP"},
      {"LC_CTYPE wins over LANG",
       {},
       {"LC_CTYPE=de_DE.ISO-8859-1", "LANG=en_US.UTF-8"},
       "SHIFT_JISX0213",
       "ISO-8859-1"},
      {"empty variables are passed over", {}, {"LC_ALL=", "LC_CTYPE=", "LANG=ja_JP.UTF-8"}, "SHIFT_JISX0213", "UTF-8"},
      {"the first one set decides, even without an encoding",
       {},
       {"LC_ALL=C", "LANG=en_US.UTF-8"},
       "SHIFT_JISX0213",
       "EUC-JP"},
      {"LC_CTYPE of 64 characters is not passed over",
       {},
       {"LC_CTYPE=a." + std::string(62, 'c'), "LANG=en_US.UTF-8"},
       "SHIFT_JISX0213",
       "EUC-JP"},
      {"-t wins over LANG", {"-t", "utf-8"}, {"LANG=ja_JP.eucJP"}, "SHIFT_JISX0213", "UTF-8"},
      {"-t wins over LC_ALL", {"-t", "utf-8"}, {"LC_ALL=ja_JP.eucJP"}, "SHIFT_JISX0213", "UTF-8"},
      {"-l is upper-cased", {"-l", "cp932"}, {}, "CP932", "EUC-JP"},
      {"empty -l and -t mean the defaults", {"-l", "", "-t", ""}, {"LANG=en_US.UTF-8"}, "SHIFT_JISX0213", "UTF-8"},
      {"63 characters accepted", {"-t", s63}, {}, "SHIFT_JISX0213", std::string(63, 'A')},
      {"64 characters ignored, earlier -t kept", {"-t", "utf-8", "-t", s64}, {}, "SHIFT_JISX0213", "UTF-8"},
      {"64 characters ignored alone", {"-l", s64}, {}, "SHIFT_JISX0213", "EUC-JP"},
      {"bytes of 0x80 and above unchanged", {"-t", "\xe3\x81\x82x"}, {}, "SHIFT_JISX0213", "\xe3\x81\x82X"},
  };
  std::vector<std::optional<std::string>> saved;
  for (const char* name : LOCALE_VARIABLES) {
    const char* value = getenv(name);
    saved.push_back(value ? std::optional<std::string>(value) : std::nullopt);
  }
  for (const EncodingCase& c : cases) {
    auto [source, terminal] = encodings_for(c.args, c.locale);
    EXPECT_EQ(source, c.source) << c.name;
    EXPECT_EQ(terminal, c.terminal) << c.name;
  }
  for (size_t i = 0; i < saved.size(); ++i) {
    if (saved[i]) setenv(LOCALE_VARIABLES[i], saved[i]->c_str(), 1);
    else unsetenv(LOCALE_VARIABLES[i]);
  }
}

TEST(Encodings, NameBufferIsZeroFilledBehindTheName) {
  char buffer[64];
  memset(buffer, 'x', sizeof buffer);
  set_encoding_name(buffer, "utf-8");
  EXPECT_STREQ(buffer, "UTF-8");
  for (size_t i = 5; i < sizeof buffer; ++i) EXPECT_EQ(buffer[i], '\0') << i;
}

TEST(CommandLine, OptionsFillTheSettings) {
  std::vector<std::string> args = {"songrelay", "-d", "one", "-d", "base", "-0", "p0",
                                   "-3",        "p3", "-v",  "-q", "-r",   "--", "-song.mid"};
  std::vector<char*> argv;
  for (std::string& arg : args) argv.push_back(arg.data());
  argv.push_back(nullptr);
  clear_settings();
  testing::internal::CaptureStdout();
  testing::internal::CaptureStderr();
  EXPECT_EQ(parse_command_line(static_cast<int>(args.size()), argv.data()), PARSE_RUN);
  // The file's line waits for the terminal's encoding, which shows the name.
  EXPECT_EQ(testing::internal::GetCapturedStdout(), "");
  choose_encodings();
  testing::internal::CaptureStdout();
  print_file_line();
  EXPECT_EQ(testing::internal::GetCapturedStdout(), "  [MIDI File ]: -song.mid\n");
  EXPECT_EQ(testing::internal::GetCapturedStderr(), "");
  EXPECT_STREQ(device_base, "base");
  EXPECT_STREQ(port_names[0], "p0");
  EXPECT_EQ(port_names[1], nullptr);
  EXPECT_EQ(port_names[2], nullptr);
  EXPECT_STREQ(port_names[3], "p3");
  EXPECT_EQ(option_flags, OPT_VERBOSE | OPT_QUIET | OPT_NO_RESET);
  EXPECT_STREQ(midi_path, "-song.mid");
  clear_settings();
}

}  // namespace
