// The baseline every listing benchmark measures against: readdir, a stat of
// each entry's full name and access(W_OK), with one reusable path buffer -
// what a careful C program does without the module and the host.
#pragma once

#include <dirent.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdint>
#include <cstring>
#include <string>

// Keeps the compiler from dropping a result nobody reads (the timing
// programs build without the benchmark library too).
inline void KeepValue(uint64_t v) { asm volatile("" : : "g"(v) : "memory"); }

// Lists `dir` once; returns the entries seen (neither "." nor "..").
inline uint64_t PlainListOnce(const std::string &dir) {
  char path[4096];
  size_t dirlen = dir.size();
  memcpy(path, dir.data(), dirlen);
  path[dirlen] = '/';
  uint64_t seen = 0, writable = 0;
  DIR *d = opendir(dir.c_str());
  if (!d) return 0;
  while (dirent *e = readdir(d)) {
    if (!strcmp(e->d_name, ".") || !strcmp(e->d_name, "..")) continue;
    strcpy(path + dirlen + 1, e->d_name);
    struct stat st;
    if (stat(path, &st) != 0) continue;
    writable += access(path, W_OK) == 0;
    ++seen;
  }
  closedir(d);
  KeepValue(writable);
  return seen;
}
