// The built binary carries the hardening a program on a public web server needs, as readelf sees it.
#include <gtest/gtest.h>

#include <algorithm>
#include <map>
#include <sstream>
#include <string>
#include <vector>

#include "tests/support/process_runner.h"

namespace {

// readelf's output as lines of whitespace-separated words.
std::vector<std::vector<std::string>> Readelf(const std::string& option) {
  ProcessResult result = RunProcess("/usr/bin/readelf", {option, "--wide", STILLCAM_BINARY}, {"LC_ALL=C"});
  EXPECT_EQ(result.exit_status, 0) << "readelf " << option << ": " << result.err;
  std::vector<std::vector<std::string>> lines;
  std::istringstream text(result.out);
  for (std::string line; std::getline(text, line);) {
    std::istringstream words(line);
    lines.emplace_back();
    for (std::string word; words >> word;) lines.back().push_back(word);
  }
  return lines;
}

bool Contains(const std::vector<std::string>& words, const std::string& wanted) {
  for (const std::string& word : words) {
    if (word == wanted) return true;
  }
  return false;
}

// A symbol word without its version ("__snprintf_chk@GLIBC_2.3.4" -> "__snprintf_chk").
std::string SymbolName(const std::string& word) { return word.substr(0, word.find('@')); }

TEST(Hardening, PositionIndependentExecutable) {
  bool pie = false;
  for (const auto& words : Readelf("--file-header"))
    pie |= words.size() >= 2 && words[0] == "Type:" && words[1] == "DYN";
  EXPECT_TRUE(pie) << "not a PIE";
}

TEST(Hardening, FullRelro) {
  bool relro = false;
  for (const auto& words : Readelf("--program-headers")) relro |= !words.empty() && words[0] == "GNU_RELRO";
  EXPECT_TRUE(relro) << "no RELRO segment";
  bool bind_now = false;
  for (const auto& words : Readelf("--dynamic")) {
    bind_now |= (Contains(words, "(FLAGS)") && Contains(words, "BIND_NOW")) ||
                (Contains(words, "(FLAGS_1)") && Contains(words, "NOW"));
  }
  EXPECT_TRUE(bind_now) << "lazy binding: RELRO is only partial";
}

TEST(Hardening, StackProtector) {
  bool protector = false;
  for (const auto& words : Readelf("--dyn-syms")) {
    for (const std::string& word : words) protector |= SymbolName(word) == "__stack_chk_fail";
  }
  EXPECT_TRUE(protector) << "no stack protector";
}

TEST(Hardening, FortifiedLibcCalls) {
#if defined(STILLCAM_SANITIZED)
  GTEST_SKIP() << "built with sanitizers: _FORTIFY_SOURCE is left off there, the sanitizers check instead";
#elif defined(STILLCAM_DEBUG_BUILD)
  GTEST_SKIP() << "Debug build: _FORTIFY_SOURCE needs optimisation and is left off";
#else
  bool fortified = false;
  for (const auto& words : Readelf("--dyn-syms")) {
    for (const std::string& word : words) {
      const std::string name = SymbolName(word);
      fortified |= name.size() > 6 && name.rfind("__", 0) == 0 && name.ends_with("_chk");
    }
  }
  EXPECT_TRUE(fortified) << "no fortified libc call: _FORTIFY_SOURCE is off";
#endif
}

// The binary's own functions, disassembled: name -> instructions (mnemonic and operands).
std::map<std::string, std::vector<std::string>> Disassembly() {
  ProcessResult result =
      RunProcess("/usr/bin/objdump", {"--disassemble", "--demangle", "--no-show-raw-insn", STILLCAM_BINARY},
                 {"LC_ALL=C"});
  EXPECT_EQ(result.exit_status, 0) << "objdump: " << result.err;
  std::map<std::string, std::vector<std::string>> functions;
  std::vector<std::string>* current = nullptr;
  std::istringstream text(result.out);
  for (std::string line; std::getline(text, line);) {
    // "0000000000012340 <WriteAllPieces(int, BytePiece*, unsigned long)>:" starts a function.
    const size_t open = line.find(" <");
    if (open != std::string::npos && line.ends_with(">:")) {
      current = &functions[line.substr(open + 2, line.size() - open - 4)];
    } else if (current != nullptr && line.find(":\t") != std::string::npos) {
      current->push_back(line.substr(line.find(":\t") + 2));
    }
  }
  return functions;
}

TEST(Hardening, StackClashAndControlFlowProtection) {
  const auto functions = Disassembly();
  // A frame larger than a page (WriteAllPieces keeps 16 KiB of iovecs) is entered page by page, each
  // page touched before the next: a probe "or $0x0,(%rsp)".
  auto writer = std::find_if(functions.begin(), functions.end(), [](const auto& function) {
    return function.first.rfind("WriteAllPieces(", 0) == 0;
  });
  ASSERT_NE(writer, functions.end()) << "no WriteAllPieces in the binary";
  bool probed = false;
  for (const std::string& instruction : writer->second) {
    probed |= instruction.find("or") == 0 && instruction.find("$0x0,(%rsp)") != std::string::npos;
  }
  EXPECT_TRUE(probed) << "no stack clash protection: a large frame is entered without probes";
  // With control-flow protection every function that may be called indirectly begins with endbr64.
  auto main_function = functions.find("main");
  ASSERT_NE(main_function, functions.end());
  ASSERT_FALSE(main_function->second.empty());
  EXPECT_EQ(main_function->second.front().rfind("endbr64", 0), 0u)
      << "no control-flow protection: main begins with " << main_function->second.front();
}

TEST(Hardening, NoExecutableStack) {
  bool found = false;
  for (const auto& words : Readelf("--program-headers")) {
    if (words.size() < 3 || words[0] != "GNU_STACK") continue;
    found = true;
    // The flags are the word before the alignment: "RW", never "RWE".
    EXPECT_EQ(words[words.size() - 2].find('E'), std::string::npos) << "executable stack";
  }
  EXPECT_TRUE(found) << "no GNU_STACK header: the stack may be executable";
}

}  // namespace
