// Drives the built movie_stats as a user does: answers on standard input,
// then the results file, the exit status and the terminal, byte for byte.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sched.h>
#include <signal.h>
#include <sys/mount.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

namespace {

namespace fs = std::filesystem;

// The largest file a child may write unless a test sets its own limit.
constexpr rlim_t kFileSizeCap = 1 << 20;
// The child's status when it may not hide /proc from the program.
constexpr int kCannotHideProc = 77;
// The sanitizers' runtime needs /proc, and its shadow memory far more room.
#ifdef MOVIE_STATS_SANITIZED
constexpr bool kSanitized = true;
#else
constexpr bool kSanitized = false;
#endif

const std::string kAsk = "How many students were surveyed? ";
const std::string kTooFew = kAsk + "Number of students surveyed must be greater than 1.\n";
const std::string kEnter = kAsk + "Enter the number of movies each student saw.\n";

std::string Prompts(int students) {
  std::string text;
  for (int k = 1; k <= students; ++k) text += "Student " + std::to_string(k) + ": ";
  return text;
}

std::string Refused(int prompts) {
  return kEnter + Prompts(prompts) + "Number of movies must be 0 or greater.\n";
}

std::string Accepted(int students, const std::string& average, const std::string& median,
                     const std::string& mode) {
  return kEnter + Prompts(students) + "The average number of movies seen is: " + average +
         "\nThe median of the number of movies seen is: " + median +
         "\nThe mode of the number of movies seen is: " + mode + "\n";
}

std::string Slurp(const fs::path& path) {
  std::ifstream in(path, std::ios::binary);
  std::ostringstream text;
  text << in.rdbuf();
  return text.str();
}

struct Outcome {
  int status;
  std::string terminal;  // stdout and stderr together
};

class Survey : public testing::Test {
 protected:
  void SetUp() override {
    std::string name = (fs::temp_directory_path() / "movie_stats.XXXXXX").string();
    ASSERT_NE(mkdtemp(name.data()), nullptr);
    dir_ = name;
    results_ = dir_ / "results.txt";
    input_ = dir_ / "input";
    terminal_ = dir_ / "terminal";
  }
  void TearDown() override { fs::remove_all(dir_); }

  // Starts the program with `args` after its name, `input_fd` as its stdin and
  // its stdout and stderr in the file `terminal_`.
  pid_t Start(const std::vector<std::string>& args, int input_fd,
              rlim_t memory_limit = RLIM_INFINITY, rlim_t file_size_limit = kFileSizeCap) {
    std::vector<char*> argv{const_cast<char*>(MOVIE_STATS_BINARY)};
    for (const std::string& arg : args) argv.push_back(const_cast<char*>(arg.c_str()));
    argv.push_back(nullptr);
    const pid_t child = fork();
    if (child == 0) {
      dup2(input_fd, 0);
      dup2(open(terminal_.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600), 1);
      dup2(1, 2);
      // A regression that prompts forever must fail here, not fill the disk.
      // Past the size limit a write fails, as on a full disk.
      const rlimit memory{memory_limit, memory_limit},
          file_size{file_size_limit, file_size_limit}, seconds{20, 20};
      setrlimit(RLIMIT_AS, &memory);
      setrlimit(RLIMIT_FSIZE, &file_size);
      setrlimit(RLIMIT_CPU, &seconds);
      signal(SIGXFSZ, SIG_IGN);
      if (hide_proc_ && !HideProc()) _exit(kCannotHideProc);
      execv(argv[0], argv.data());
      _exit(127);
    }
    return child;
  }

  // As in a chroot or container without /proc. The namespace is made private
  // first: where mounts are shared, the tmpfs would cover the machine's /proc.
  static bool HideProc() {
    return unshare(CLONE_NEWNS) == 0 &&
           mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr) == 0 &&
           mount("tmpfs", "/proc", "tmpfs", 0, nullptr) == 0;
  }

  Outcome Wait(pid_t child) {
    int status = 0;
    waitpid(child, &status, 0);
    return {WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status), Slurp(terminal_)};
  }

  // Runs the program to its end on `input_fd`, which it then closes.
  Outcome RunOn(const std::vector<std::string>& args, int input_fd,
                rlim_t memory_limit = RLIM_INFINITY, rlim_t file_size_limit = kFileSizeCap) {
    const pid_t child = Start(args, input_fd, memory_limit, file_size_limit);
    close(input_fd);
    return Wait(child);
  }

  Outcome Run(const std::vector<std::string>& args, const std::string& input,
              rlim_t memory_limit = RLIM_INFINITY, rlim_t file_size_limit = kFileSizeCap) {
    std::ofstream(input_) << input;
    return RunOn(args, open(input_.c_str(), O_RDONLY), memory_limit, file_size_limit);
  }

  fs::path dir_;
  fs::path input_;  // standard input of every Run
  fs::path results_;
  fs::path terminal_;
  bool hide_proc_ = false;  // for every child started from then on
};

struct Case {
  const char* name;
  std::string input;
  std::string transcript;
};

void PrintTo(const Case& c, std::ostream* os) { *os << c.name; }
std::string CaseName(const testing::TestParamInfo<Case>& c) { return c.param.name; }

class Transcript : public Survey, public testing::WithParamInterface<Case> {};

TEST_P(Transcript, IsWrittenExactly) {
  const Outcome outcome = Run({results_.string()}, GetParam().input);
  EXPECT_EQ(outcome.status, 0);
  EXPECT_EQ(outcome.terminal, "");
  EXPECT_EQ(Slurp(results_), GetParam().transcript);
}

const std::string kExample =
    "How many students were surveyed? Enter the number of movies each student saw.\n"
    "Student 1: Student 2: Student 3: The average number of movies seen is: 1.33333\n"
    "The median of the number of movies seen is: 2\n"
    "The mode of the number of movies seen is: 2\n";

INSTANTIATE_TEST_SUITE_P(
    Dialogue, Transcript,
    testing::Values(Case{"example", "3 2 0 2", kExample},
                    Case{"one_per_line", "3\n2\n0\n2\n", kExample},
                    Case{"mixed_blanks", "\t3  2\n\n0\t 2", kExample},
                    Case{"one_student", "1 5", kTooFew}, Case{"no_students", "0", kTooFew},
                    Case{"negative_students", "-4 1 2", kTooFew},
                    Case{"two_students", "2 1 2", Accepted(2, "1.5", "1.5", "1")},
                    Case{"first_negative", "3 -1 2 2", Refused(1)},
                    Case{"later_negative", "4 4 4 -1 5", Refused(3)},
                    Case{"all_zero", "3 0 0 0", Accepted(3, "0", "0", "0")},
                    Case{"sorts_answers", "4 5 3 9 3", Accepted(4, "5", "4", "3")}),
    CaseName);

INSTANTIATE_TEST_SUITE_P(
    Statistics, Transcript,
    testing::Values(Case{"odd_count", "3 3 1 2", Accepted(3, "2", "2", "1")},
                    Case{"even_count", "4 4 3 2 1", Accepted(4, "2.5", "2.5", "1")},
                    Case{"thirds", "3 2 1 1", Accepted(3, "1.33333", "1", "1")},
                    Case{"mode_single_peak", "4 3 2 1 2", Accepted(4, "2", "2", "2")},
                    Case{"mode_tie_smallest", "4 2 2 1 1", Accepted(4, "1.5", "1.5", "1")},
                    Case{"mode_later_run", "5 2 1 2 1 2", Accepted(5, "1.6", "2", "2")},
                    Case{"mode_earlier_run", "5 2 1 1 2 1", Accepted(5, "1.4", "1", "1")},
                    Case{"exponent", "2 999999 1000001", Accepted(2, "1e+06", "1e+06", "999999")},
                    Case{"median_no_overflow", "2 2147483647 2147483647",
                         Accepted(2, "2.14748e+09", "2.14748e+09", "2.14748e+09")}),
    CaseName);

// A failed read yields a value the checks reject: it never becomes an answer.
INSTANTIATE_TEST_SUITE_P(
    FailedReads, Transcript,
    testing::Values(Case{"no_input", "", kTooFew}, Case{"word_for_count", "x 1 2", kTooFew},
                    Case{"count_out_of_range", "2147483648 1 2", kTooFew},
                    Case{"input_ends", "3 1", Refused(2)},
                    Case{"claim_then_end", "2147483647", Refused(1)},
                    Case{"word_for_answer", "2 1 x", Refused(2)},
                    Case{"answer_out_of_range", "2 1 2147483648", Refused(2)},
                    Case{"fraction_leaves_rest", "2 2.5 1", Refused(2)},
                    Case{"plus_sign", "+2 +1 2", Accepted(2, "1.5", "1.5", "1")}),
    CaseName);

TEST_F(Survey, ReplacesAnExistingFileAndIgnoresExtraArguments) {
  std::ofstream(results_) << std::string(500, 'x');
  const Outcome outcome = Run({results_.string(), "extra", "--flag"}, "3 2 0 2");
  EXPECT_EQ(outcome.status, 0);
  EXPECT_EQ(Slurp(results_), kExample);
}

TEST_F(Survey, UnusablePathEndsSilentlyWithStatusOne) {
  const fs::path missing = dir_ / "missing" / "results.txt";
  const std::vector<std::vector<std::string>> argument_lists{
      {}, {""}, {dir_.string()}, {missing.string()}};
  for (const auto& args : argument_lists) {
    const Outcome outcome = Run(args, "3 2 0 2");
    EXPECT_EQ(outcome.status, 1) << testing::PrintToString(args);
    EXPECT_EQ(outcome.terminal, "") << testing::PrintToString(args);
  }
  EXPECT_FALSE(fs::exists(missing.parent_path()));
  EXPECT_TRUE(fs::is_directory(dir_));
}

TEST_F(Survey, FailedWriteIsNotSuccess) {
  for (const char* input : {"3 2 0 2", "1", "3 1 -1"}) {
    const Outcome outcome = Run({"/dev/full"}, input);
    EXPECT_EQ(outcome.status, 1) << input;
    EXPECT_EQ(outcome.terminal, "") << input;
  }
  // The prompts fit in 4,096 bytes and the result lines, written at close, do not.
  std::string ones = "314";
  for (int k = 0; k < 314; ++k) ones += " 1";
  const Outcome outcome = Run({results_.string()}, ones, RLIM_INFINITY, 4096);
  EXPECT_EQ(outcome.status, 1);
  EXPECT_EQ(outcome.terminal, "");
  EXPECT_EQ(Slurp(results_).substr(0, kEnter.size()), kEnter);
}

// Emptying the answers before reading them would lose them, under any name,
// and in a chroot or container without /proc too.
class AnswersFile : public Survey, public testing::WithParamInterface<bool> {};

TEST_P(AnswersFile, IsLeftAlone) {
  hide_proc_ = GetParam();
  if (hide_proc_ && kSanitized) GTEST_SKIP() << "the sanitizers need /proc";
  std::ofstream(input_) << "3 2 0 2";
  fs::create_hard_link(input_, dir_ / "hard_link");
  fs::create_symlink(input_, dir_ / "symlink");
  for (const fs::path& path : {input_, dir_ / "hard_link", dir_ / "symlink"}) {
    const Outcome outcome = Run({path.string()}, "3 2 0 2");
    if (outcome.status == kCannotHideProc) GTEST_SKIP() << "may not hide /proc here";
    EXPECT_EQ(outcome.status, 1) << path;
    EXPECT_EQ(outcome.terminal, "") << path;
    EXPECT_EQ(Slurp(input_), "3 2 0 2") << path;
  }
}

INSTANTIATE_TEST_SUITE_P(Proc, AnswersFile, testing::Values(false, true),
                         [](const testing::TestParamInfo<bool>& proc) {
                           return proc.param ? "hidden" : "mounted";
                         });

// Writing the questions into their own pipe would read them back as answers;
// a device holds nothing to lose.
TEST_F(Survey, RefusesTheAnswersPipeButNotADevice) {
  int answers_pipe[2];
  ASSERT_EQ(pipe(answers_pipe), 0);
  EXPECT_EQ(write(answers_pipe[1], "3 2 0 2", 7), 7);
  close(answers_pipe[1]);
  const Outcome piped = RunOn({"/dev/stdin"}, answers_pipe[0]);
  EXPECT_EQ(piped.status, 1);
  EXPECT_EQ(piped.terminal, "");

  EXPECT_EQ(RunOn({"/dev/null"}, open("/dev/null", O_RDONLY)).status, 0);
}

// When the read itself fails nobody answered: no rejection, status 1. A
// non-blocking pipe whose writer is still there fails where the answers stop,
// even mid-number.
TEST_F(Survey, UnreadableInputIsNoAnswer) {
  const std::vector<std::pair<std::string, std::string>> pipe_cases{
      {"", kAsk}, {"3", kAsk}, {"3 1", kEnter + Prompts(1)}};
  for (const auto& [answers, transcript] : pipe_cases) {
    int answers_pipe[2];
    ASSERT_EQ(pipe2(answers_pipe, O_NONBLOCK | O_CLOEXEC), 0);
    EXPECT_EQ(write(answers_pipe[1], answers.data(), answers.size()), ssize_t(answers.size()));
    const Outcome outcome = RunOn({results_.string()}, answers_pipe[0]);
    close(answers_pipe[1]);
    EXPECT_EQ(outcome.status, 1) << answers;
    EXPECT_EQ(outcome.terminal, "") << answers;
    EXPECT_EQ(Slurp(results_), transcript) << answers;
  }
  std::ofstream(input_) << "3 2 0 2";
  EXPECT_EQ(RunOn({results_.string()}, open(input_.c_str(), O_WRONLY)).status, 1);
  EXPECT_EQ(Slurp(results_), kAsk);
}

TEST_F(Survey, HugeClaimDoesNotAllocateForIt) {
  const rlim_t memory_limit = kSanitized ? RLIM_INFINITY : rlim_t{256} << 20;
  const Outcome outcome = Run({results_.string()}, "2147483647 1 2 3", memory_limit);
  EXPECT_EQ(outcome.status, 0);
  EXPECT_EQ(outcome.terminal, "");
  EXPECT_EQ(Slurp(results_), Refused(4));
}

// Running out of memory ends the run as an incomplete transcript does.
TEST_F(Survey, AnswersBeyondMemoryEndSilently) {
  if (kSanitized) GTEST_SKIP() << "the sanitizers' shadow memory needs far more";
  std::string answers = "2147483647";
  for (int k = 0; k < 3'000'000; ++k) answers += " 0";
  const Outcome outcome = Run({"/dev/null"}, answers, rlim_t{16} << 20);
  EXPECT_EQ(outcome.status, 1);
  EXPECT_EQ(outcome.terminal, "");
}

// Someone following the file with tail -f sees each prompt before typing.
TEST_F(Survey, PromptReachesTheFileBeforeTheAnswer) {
  int to_child[2];
  ASSERT_EQ(pipe(to_child), 0);
  fcntl(to_child[1], F_SETFD, FD_CLOEXEC);  // else the child never sees end of input
  const pid_t child = Start({results_.string()}, to_child[0]);
  close(to_child[0]);
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
  while (Slurp(results_) != kAsk && std::chrono::steady_clock::now() < deadline) {
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
  EXPECT_EQ(Slurp(results_), kAsk);
  EXPECT_EQ(write(to_child[1], "2 1 2", 5), 5);
  close(to_child[1]);
  Wait(child);
  EXPECT_EQ(Slurp(results_), Accepted(2, "1.5", "1.5", "1"));
}

}  // namespace
