// Where the rewritten files of a fix are flushed: on most file systems by
// one syncfs at the end, but on those whose syncfs reaches no daemon or
// server (FUSE, SMB, 9p) each file as it is written. A flush that fails
// either way gives a line on standard error and status 255. The faults come
// from testing/fail_calls.cc; scripts/filesystems.sh runs this on each file
// system a store may live on.
#include <gtest/gtest.h>
#include <sys/vfs.h>

#include <string>

#include "testing/fail_calls.h"
#include "testing/store.h"

namespace {

#ifdef MAILTALLY_FAIL_CALLS
bool IsFlushedPerFile(const Store& store) {
  struct statfs fs;
  if (statfs(store.root().c_str(), &fs) != 0) return true;
  const unsigned long type = static_cast<unsigned long>(fs.f_type) & 0xFFFFFFFFUL;
  return type == 0x65735546 || type == 0xFF534D42 || type == 0xFE534D42 || type == 0x01021997;
}

TEST(Flush, TheRewrittenFilesAreFlushedTheWayTheirFileSystemTakes) {
  const std::string FAILED =
      "mailtally: the rewritten message files could not be flushed to stable storage "
      "(Input/output error)\n";
  for (const char* fault : {"fdatasync", "syncfs"}) {
    SCOPED_TRACE(fault);
    Store store;
    store.Put("box/I1.DAT", PlainMessage(7));
    store.Put("box/I2.DAT", PlainMessage(7));
    store.Put("nextuidl.dat", Le32(50));
    const bool perFile = IsFlushedPerFile(store);
    const bool met = perFile == (std::string(fault) == "fdatasync");
    const RunResult result =
        store.RunWithOutput({"-fix"}, ">/dev/null", "</dev/null", FailCalls(fault));
    EXPECT_EQ(result.status, met ? 255 : 0);
    EXPECT_EQ(result.errors, met ? FAILED : "");
    EXPECT_EQ(store.Get("box/I2.DAT"), PlainMessage(8));
  }
}
#endif

}  // namespace
