#include "table/table_file.h"

#include <gtest/gtest.h>

#include "sys/test_support.h"

TEST(TableFile, LoadInstalledTable) {
  const std::string header = "table 1 - files.txt root root 0644\n";
  struct Case {
    const char* what;
    std::string content;  // "-": no file at all
    bool requireTableRecord;
    std::string kept;   // the kinds and names of the records returned
    std::string error;  // after the path
  } cases[] = {
      {"missing", "-", false, "", ": Cannot open: No such file or directory"},
      {"empty", "", false, "", ": Cannot mmap: Invalid argument"},
      {"no table line, required", "free text\n", true, "", ": No table record"},
      {"no table line", "free text\nfile a root root 1 0644 s X 0 n\n", false, "", ""},
      {"every kind in order, up to end",
       "head\n" + header + "\ndir d root root 1 0755 n\nfile d/a root root 1 0644 s X 0 n\nsymlink l root root 1 t\n" +
           "end\nfile after root root 1 0644 s X 0 n\n",
       true, "1files.txt 3d 2d/a 4l ", ""},
      {"zero bytes skipped",
       header + "file a+00b root root 1 0644 s X 0 n\nsymlink l root root 1 t+00\ndir d r r 1 0 n\n", false,
       "1files.txt 3d ", ""},
      {"table record with a zero byte still counts", "table 1 - f+00 root root 0644\n", true, "", ""},
      {"parse error", header + "file a root root 1 0644 s X 0\n", false, "", "Parse error in line 2"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    TempDir dir;
    const std::string path = dir / "files.txt";
    if (c.content != "-")
      WriteFile(path, c.content);
    std::string kept;
    std::string error = ErrorOf([&] {
      for (const TableEntry& entry : LoadInstalledTable(path, c.requireTableRecord))
        kept += std::to_string(static_cast<unsigned>(entry.kind)) + entry.name + " ";
    });
    EXPECT_EQ(c.kept, kept);
    if (c.error.empty())
      EXPECT_EQ("(no error)", error);
    else if (c.error[0] == ':')
      EXPECT_EQ(path + c.error, error);
    else
      EXPECT_EQ(0u, error.find(c.error)) << error;
  }
}
