// movie_stats: surveys how many movies each student saw and writes the
// dialogue and its average, median and mode into a results file.

#include <sys/stat.h>
#include <unistd.h>

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <fstream>
#include <iostream>
#include <new>
#include <optional>
#include <vector>

namespace {

// Every prompt, message and result goes here; the terminal stays silent.
std::ofstream results_file;

bool IsTheAnswersFile(const char* path);
int ReadNumber(int on_failure);
bool InputError();
int CloseResults();
std::optional<std::vector<int>> MoviesSeen(int student_count);
void SortAscending(std::vector<int>& movies);
double Average(const int* movies, int count);
double Median(const int* movies, int count);
double Mode(const int* movies, int count);

}  // namespace

// A transcript that cannot be completed ends the run silently with status 1:
// more answers than memory holds, or input the system could not read.
int main(int argc, char* argv[]) try {
  if (argc < 2) return 1;
  if (IsTheAnswersFile(argv[1])) return 1;
  results_file.open(argv[1], std::ios::out | std::ios::trunc);
  if (!results_file.is_open()) return 1;
  // Flushes each prompt before the read it asks for, so the file shows the
  // dialogue as it happens and an interrupted survey keeps its prompts.
  std::cin.tie(&results_file);

  results_file << "How many students were surveyed? ";
  const int student_count = ReadNumber(0);
  if (InputError()) return 1;
  if (student_count <= 1) {
    results_file << "Number of students surveyed must be greater than 1.\n";
    return CloseResults();
  }

  results_file << "Enter the number of movies each student saw.\n";
  const std::optional<std::vector<int>> movies = MoviesSeen(student_count);
  if (InputError()) return 1;
  if (!movies) {
    results_file << "Number of movies must be 0 or greater.\n";
    return CloseResults();
  }

  const int* seen = movies->data();
  results_file << "The average number of movies seen is: "
               << Average(seen, student_count) << "\n";
  results_file << "The median of the number of movies seen is: "
               << Median(seen, student_count) << "\n";
  results_file << "The mode of the number of movies seen is: "
               << Mode(seen, student_count) << "\n";
  return CloseResults();
} catch (const std::bad_alloc&) {
  return 1;
}

namespace {

// Opening the answers' own file would empty it before it is read, and
// writing into their own pipe would feed the questions back as answers. The
// identities come from the system itself, so no /proc is needed. A character
// device (a terminal, /dev/null) holds nothing to lose; a block device may
// have several nodes, each an inode of its own; a path that cannot be looked
// up is left for the open to judge.
bool IsTheAnswersFile(const char* path) {
  struct stat answers {};
  struct stat results {};
  if (fstat(STDIN_FILENO, &answers) != 0 || stat(path, &results) != 0) return false;
  if (S_ISCHR(answers.st_mode)) return false;
  if (S_ISBLK(answers.st_mode) && S_ISBLK(results.st_mode)) {
    return answers.st_rdev == results.st_rdev;
  }
  return answers.st_dev == results.st_dev && answers.st_ino == results.st_ino;
}

// A read that fails (input ended, not a decimal integer, out of range)
// yields `on_failure`, a value the caller rejects, so it never becomes an
// answer. So does one cut short by an input error: digits read before it may
// be only part of the number.
int ReadNumber(int on_failure) {
  int value = 0;
  if (std::cin >> value && !InputError()) return value;
  return on_failure;
}

// True once reading standard input failed (a hung-up terminal, a descriptor
// left non-blocking or closed): nobody answered, unlike at the end of input.
// std::cin sees either as end of file; the C stream `stdin` it reads through
// keeps the error apart, and is asked only then.
bool InputError() { return std::cin.eof() && std::ferror(stdin) != 0; }

// A run whose transcript did not fully reach the disk is not a success.
int CloseResults() {
  results_file.close();
  return results_file.fail() ? 1 : 0;
}

// Grows with the answers actually given rather than the claimed count, so a
// huge claim followed by a few answers never asks for memory it won't use.
std::optional<std::vector<int>> MoviesSeen(int student_count) {
  std::vector<int> movies;
  for (int student = 0; student < student_count; ++student) {
    results_file << "Student " << student + 1 << ": ";
    const int seen = ReadNumber(-1);
    if (seen < 0) return std::nullopt;
    movies.push_back(seen);
  }
  SortAscending(movies);
  return movies;
}

// Selection sort: a class is a few dozen answers, and it never allocates.
// The running minimum lives in a local so the compiler keeps it in a register
// however the loop is inlined.
void SortAscending(std::vector<int>& movies) {
  for (std::size_t p = 0; p + 1 < movies.size(); ++p) {
    int smallest = movies[p];
    std::size_t where = p;
    for (std::size_t i = p + 1; i < movies.size(); ++i) {
      if (movies[i] < smallest) {
        smallest = movies[i];
        where = i;
      }
    }
    movies[where] = movies[p];
    movies[p] = smallest;
  }
}

double Average(const int* movies, int count) {
  double sum = 0.0;
  for (int i = 0; i < count; ++i) sum += movies[i];
  return sum / count;
}

// The two middle values are added in 64 bits: two answers near INT_MAX
// would overflow an int.
double Median(const int* movies, int count) {
  const int middle = count / 2;
  if (count % 2 != 0) return movies[middle];
  const std::int64_t pair =
      std::int64_t{movies[middle - 1]} + std::int64_t{movies[middle]};
  return static_cast<double>(pair) / 2.0;
}

// Expects sorted input: equal values stand together, so one pass finds the
// longest run, and the earliest (smallest) value wins a tie.
double Mode(const int* movies, int count) {
  int current = movies[0];
  int run = 1;
  int longest = 1;
  int mode = movies[0];
  for (int i = 1; i < count; ++i) {
    if (movies[i] == current) {
      ++run;
      if (run > longest) {
        longest = run;
        mode = current;
      }
    } else {
      current = movies[i];
      run = 1;
    }
  }
  return mode;
}

}  // namespace
