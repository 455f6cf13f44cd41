// Stands in for a program the panel starts (xdg-open): appends its argument
// vector to the file named by ORVANE_RECORD_FILE, each argument ended by a NUL
// byte and each call by an extra NUL, so any byte of an argument is kept.
#include <cstdio>
#include <cstdlib>
#include <cstring>

int main(int argc, char** argv) {
  const char* file = std::getenv("ORVANE_RECORD_FILE");
  if (!file) return 2;
  std::FILE* out = std::fopen(file, "ab");
  if (!out) return 2;
  for (int i = 1; i < argc; ++i) std::fwrite(argv[i], 1, std::strlen(argv[i]) + 1, out);
  std::fputc('\0', out);
  std::fclose(out);
  return 0;
}
