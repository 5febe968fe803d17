// Manual pages and completion written from a command line (agent/CliDocs.h):
// what roff would misread is escaped, hidden commands stay hidden, flags take
// no value, and the completion offers what the command line accepts.
#include "agent/CliDocs.h"

#include <gtest/gtest.h>

#include <string>

namespace {

TEST(CliDocs, RoffTextEscapesWhatRoffWouldRead) {
  EXPECT_EQ(CliDocs::roffText("--image a\\b"), "\\-\\-image a\\eb");
  // A leading period or quote would be a request.
  EXPECT_EQ(CliDocs::roffText(".SH x"), "\\&.SH x");
  EXPECT_EQ(CliDocs::roffText("'x"), "\\&'x");
  EXPECT_EQ(CliDocs::roffText("one\ntwo"), "one two");
}

TEST(CliDocs, HelpTextHeadingsBecomeSectionsAndIndentedLinesStayAsTheyAre) {
  std::string const text = "First line\ngoes on.\n\nExit statuses:\n  0   done\n  64  usage\n";
  EXPECT_EQ(
      CliDocs::roffHelpText(text, true),
      ".PP\nFirst line\ngoes on.\n.SH EXIT STATUSES\n.RS 2\n.nf\n0   done\n64  usage\n.fi\n.RE\n");
  EXPECT_EQ(CliDocs::roffHelpText("Exit statuses:\n  0 done", false),
            ".PP\n\\fBExit statuses\\fR\n.RS 2\n.nf\n0 done\n.fi\n.RE\n");
  // A line ending in ':' with no indented line after it is text.
  EXPECT_EQ(CliDocs::roffHelpText("For example:\nthis.", true), ".PP\nFor example:\nthis.\n");
}

struct Program {
  CLI::App app{"Does things.", "prog"};
  std::string file, table, format;
  bool flag = false;
  Program() {
    CLI::App* run = app.add_subcommand("run", "run it")->group("Commands");
    run->add_option("TABLE", table, "a table");
    run->add_option("--image", file, "the image")->type_name("FILE");
    run->add_option("--format", format, "the form")->check(CLI::IsMember({"full", "named"}));
    run->add_flag("-v,--verbose", flag, "say more");
    app.add_subcommand("secret", "not shown")->group("");
  }
};

TEST(CliDocs, ManPageListsVisibleCommandsWithTheirOperandsAndOptions) {
  Program p;
  std::string const page =
      CliDocs::manPage(p.app, {"prog", 1, "does things", "pkg 1.0", "2026-01-02", "User Commands"},
                       {"prog.conf(5)"});
  EXPECT_EQ(page.rfind(".TH PROG 1 \"2026-01-02\" \"pkg 1.0\" \"User Commands\"\n.SH NAME\nprog "
                       "\\- does things\n",
                       0),
            0u);
  EXPECT_NE(page.find(".B prog run\n[\\fITABLE\\fR] [\\fIOPTIONS\\fR]\n"), std::string::npos);
  EXPECT_NE(page.find(".SS \"run TABLE\"\nrun it\n"), std::string::npos);
  EXPECT_NE(page.find(".TP\n\\fB\\-\\-image\\fR \\fIFILE\\fR\nthe image\n"), std::string::npos);
  EXPECT_NE(page.find(".TP\n\\fB\\-\\-format\\fR \\fI{full,named}\\fR\n"), std::string::npos);
  // A flag takes no value.
  EXPECT_NE(page.find(".TP\n\\fB\\-v, \\-\\-verbose\\fR\nsay more\n"), std::string::npos);
  EXPECT_EQ(page.find("secret"), std::string::npos);
  EXPECT_NE(page.find(".SH SEE ALSO\n.BR prog.conf (5)\n"), std::string::npos);
}

TEST(CliDocs, CompletionOffersCommandsOptionsAndValues) {
  Program p;
  std::string const script = CliDocs::bashCompletion(p.app, {{"TABLE", {"TabA", "TabB"}}});
  EXPECT_NE(script.find("complete -o filenames -F _prog prog\n"), std::string::npos);
  EXPECT_NE(script.find("compgen -W \"run --help\""), std::string::npos);
  EXPECT_NE(script.find("    run:--image)\n      COMPREPLY=($(compgen -f -- \"$cur\"))"),
            std::string::npos);
  EXPECT_NE(script.find("    run:--format)\n      COMPREPLY=($(compgen -W \"full named\""),
            std::string::npos);
  EXPECT_NE(script.find("compgen -W \"-h --help --image --format -v --verbose\""),
            std::string::npos);
  EXPECT_NE(script.find("compgen -W \"TabA TabB\""), std::string::npos);
  EXPECT_EQ(script.find("secret"), std::string::npos);
}

}  // namespace
