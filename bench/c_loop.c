/* The reference the benchmark measures mailtally against: the least a walk
 * of the store can do. One readdir pass per directory, and for each message
 * file below the root openat + one pread of 24 bytes + close, relative to
 * the open directory. No sorting, no index, no report: it prints the count
 * of files read and the sum of their first bytes, so nothing is optimised
 * away. Started in the store root, like mailtally. */
#define _GNU_SOURCE
#include <dirent.h>
#include <fcntl.h>
#include <stdio.h>
#include <string.h>
#include <strings.h>
#include <unistd.h>

static long filesRead;
static unsigned long byteSum;

static int IsMessageFile(const char* name) {
  size_t length = strlen(name);
  return length >= 5 && (name[0] == 'I' || name[0] == 'i') &&
         strcasecmp(name + length - 4, ".DAT") == 0;
}

static void ReadHead(int dirFd, const char* name) {
  unsigned char head[24];
  int fd = openat(dirFd, name, O_RDONLY | O_CLOEXEC);
  if (fd < 0) return;
  ssize_t n = pread(fd, head, sizeof head, 0);
  for (ssize_t i = 0; i < n; ++i) byteSum += head[i];
  close(fd);
  ++filesRead;
}

static void Walk(int dirFd, int depth) {
  DIR* dir = fdopendir(dirFd);
  if (dir == NULL) {
    close(dirFd);
    return;
  }
  struct dirent* entry;
  while ((entry = readdir(dir)) != NULL) {
    const char* name = entry->d_name;
    if (entry->d_type == DT_DIR) {
      if (strcmp(name, ".") == 0 || strcmp(name, "..") == 0) continue;
      int child = openat(dirFd, name, O_RDONLY | O_DIRECTORY | O_CLOEXEC);
      if (child >= 0) Walk(child, depth + 1);
    } else if (depth > 0 && entry->d_type == DT_REG && IsMessageFile(name)) {
      ReadHead(dirFd, name);
    }
  }
  closedir(dir);
}

int main(void) {
  int root = open(".", O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (root < 0) return 1;
  Walk(root, 0);
  printf("%ld files, byte sum %lu\n", filesRead, byteSum);
  return 0;
}
