// kiv-upload storing multipart bodies as a web server hands them over.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include "common/dir.h"
#include "tests/support/installation.h"
#include "tests/support/programs.h"

namespace kiv {
namespace {

using testing::ChildResult;
using testing::read_text;

const std::string kRedirect =
    "Content-type: text/html;charset=utf-8\r\nPragma: no-cache\r\n"
    "Cache-Control: no-cache,no-store\r\nExpires: 0\r\nLocation: /\n\n";
const std::string kType = "CONTENT_TYPE=multipart/form-data; boundary=----X1";

/// A browser's body: a form field, then the file part, then another field.
std::string multipart(const std::string& name, const std::string& data) {
  return "------X1\r\nContent-Disposition: form-data; name=\"note\"\r\n\r\nhello\r\n"
         "------X1\r\nContent-Disposition: form-data; name=\"up\"; filename=\"" + name +
         "\"\r\nContent-Type: application/octet-stream\r\n\r\n" + data +
         "\r\n------X1\r\nContent-Disposition: form-data; name=\"after\"\r\n\r\nx\r\n------X1--\r\n";
}

class KivUpload : public ::testing::Test {
 protected:
  testing::Installation installation_;
  std::string dnl_ = installation_.dnldir();

  ChildResult upload(const std::string& body, std::string cookie = "HTTP_COOKIE=curdir=/",
                     std::string type = kType) {
    return installation_.run("upload/kiv-upload", {cookie, type}, body);
  }
  /// The names in a directory, hidden ones included.
  static std::vector<std::string> names(const std::string& dir) {
    return scan_directory(dir, ScanOrder::by_name).value_or(std::vector<std::string>{"?"});
  }
};

TEST_F(KivUpload, AnyBytesArriveExactly) {
  std::string data;
  for (unsigned i = 0; i < 300000; ++i) data += char((i * 7919u) % 256);
  data += std::string("\0\r\r\n-\r\n--\r\n------X\r\n------X", 28);  // near misses
  EXPECT_EQ(upload(multipart("bin.dat", data)).out, kRedirect);
  EXPECT_EQ(read_text(dnl_ + "bin.dat"), data);
  EXPECT_EQ(names(dnl_), std::vector<std::string>{"bin.dat"});
}

TEST_F(KivUpload, DelimiterAcrossEveryWindowEdge) {
  // The part header takes some bytes of the first window; vary the data
  // length so that the delimiter straddles the end of a full window.
  size_t header = multipart("f", "").find("\r\n\r\n", 100) + 4;
  for (size_t length = 131072 - header - 12; length < 131072 - header + 2; ++length) {
    std::string data(length, 'a');
    ASSERT_EQ(upload(multipart("f", data)).out, kRedirect) << length;
    ASSERT_EQ(read_text(dnl_ + "f"), data) << length;
  }
}

TEST_F(KivUpload, PartHeaderArrivingAByteAtATime) {
  // A slow client: the body reaches the receiver in one-byte reads, so the
  // name's quote and the empty line after the header are found across
  // reads at every position.
  std::string program = testing::program_shell_command(testing::program("upload/kiv-upload"));
  std::string dribble =
      "import os, sys, time\n"
      "for byte in sys.stdin.buffer.read():\n"
      "  os.write(1, bytes([byte])); time.sleep(0.0001)\n";
  std::string long_header = "X-Note: " + std::string(3000, 'n') + "\r\n";
  for (const std::string& extra : {std::string(), long_header}) {
    std::string body = "------X1\r\nContent-Disposition: form-data; name=\"up\"; filename=\"slow.txt\"\r\n" +
                       extra + "\r\nslow data\r\n------X1--\r\n";
    testing::ChildResult result = testing::run_program(
        {"/bin/sh", "-c", "python3 -c '" + dribble + "' | " + program},
        {"PATH=/usr/bin:/bin", "HTTP_X_KIV=1", "HTTP_COOKIE=curdir=/", kType}, body);
    EXPECT_EQ(result.out, kRedirect) << result.err;
    EXPECT_EQ(read_text(dnl_ + "slow.txt"), "slow data");
  }
}

TEST_F(KivUpload, NamesAndPlaces) {
  EXPECT_EQ(upload(multipart("", "")).out, testing::kHeaders + "Upload failed: unable to save file");
  EXPECT_EQ(upload(multipart("empty", "")).out, kRedirect);
  EXPECT_EQ(read_text(dnl_ + "empty"), "");
  upload(multipart("C:\\dir\\a.txt", "A"));
  upload(multipart("x/y/b.bin", "B"));
  EXPECT_EQ(read_text(dnl_ + "a.txt"), "A");
  EXPECT_EQ(read_text(dnl_ + "b.bin"), "B");
  upload(multipart("a.txt", "replaced"));
  EXPECT_EQ(read_text(dnl_ + "a.txt"), "replaced");

  mkdir((dnl_ + "a b").c_str(), 0755);
  upload(multipart("in.txt", "sub"), "HTTP_COOKIE=lang=en; curdir=/a%20b; x=y");
  EXPECT_EQ(read_text(dnl_ + "a b/in.txt"), "sub");
  // A folder that is not there (gone since the page showed it): nothing
  // stored, not even in the download directory.
  EXPECT_EQ(upload(multipart("nowhere.txt", "top"), "HTTP_COOKIE=curdir=/missing").out,
            testing::kHeaders + "Upload failed: directory not found");
  EXPECT_NE(access((dnl_ + "nowhere.txt").c_str(), F_OK), 0);
  // Never above the download directory.
  EXPECT_EQ(upload(multipart("escape.txt", "x"), "HTTP_COOKIE=curdir=/a%20b/../../trk").out,
            testing::kHeaders + "Upload failed: directory outside the download directory");
  EXPECT_NE(access((dnl_ + "escape.txt").c_str(), F_OK), 0);
  EXPECT_NE(access((installation_.trkdir() + "escape.txt").c_str(), F_OK), 0);
  upload(multipart("nocookie.txt", "y"), "X=1");
  EXPECT_EQ(read_text(dnl_ + "nocookie.txt"), "y");
  EXPECT_EQ(upload(multipart(".htpasswd", "u:x")).out,
            testing::kHeaders + "Upload failed: unable to save file");
  // Up to the system's limit of 255 bytes a name is stored, whatever room
  // its temporary name needs; beyond, refused without a trace.
  for (size_t length : {240, 241, 255, 256}) {
    std::string name(length, 'n');
    ChildResult result = upload(multipart(name, "long"));
    EXPECT_EQ(result.out, length <= 255 ? kRedirect
                                        : testing::kHeaders + "Upload failed: unable to save file");
    EXPECT_EQ(read_text(dnl_ + name), length <= 255 ? "long" : "") << length;
    unlink((dnl_ + name).c_str());
  }
  for (const std::string& left : names(dnl_)) EXPECT_NE(left[0], '.') << left;
}

TEST_F(KivUpload, FailuresLeaveNoFile) {
  std::string h = testing::kHeaders;
  EXPECT_EQ(upload(multipart("a", "x"), "HTTP_COOKIE=curdir=/",
                   "CONTENT_TYPE=multipart/form-data; boundary=plain").out,
            h + "errore CONTENT_TYPE:multipart/form-data; boundary=plain\n");
  EXPECT_EQ(upload("no part at all\r\n\r\n").out, h + "Upload failed: no filename received");
  EXPECT_EQ(upload("------X1\r\nContent-Disposition: form-data; filename=\"open").out,
            h + "Upload failed: no filename termination");
  EXPECT_EQ(upload("------X1\r\nContent-Disposition: form-data; filename=\"a\"\r\n").out,
            h + "Upload failed: no file");
  // The body ends before the closing delimiter: nothing half-written stays,
  // and an older file of that name is kept.
  testing::write_text(dnl_ + "keep.txt", "old");
  std::string cut = multipart("keep.txt", std::string(200000, 'k'));
  EXPECT_EQ(upload(cut.substr(0, 150000)).out, h + "Upload failed: file incomplete");
  EXPECT_EQ(read_text(dnl_ + "keep.txt"), "old");
  EXPECT_EQ(names(dnl_), std::vector<std::string>{"keep.txt"});
}

TEST_F(KivUpload, UnreachableDownloadDirectoryWritesNothing) {
  ASSERT_EQ(rmdir(dnl_.c_str()), 0);
  ChildResult result = upload(multipart("stray.txt", "x"));
  EXPECT_EQ(result.out, testing::kHeaders + "Upload failed: unable to save file");
  // The program runs where the test runs it: nothing may land there.
  EXPECT_NE(access("stray.txt", F_OK), 0);
  mkdir(dnl_.c_str(), 0755);
}

TEST_F(KivUpload, FullDiskIsAFailureAndLeavesNoFile) {
  if (geteuid() != 0 || access("/usr/bin/unshare", X_OK) != 0)
    GTEST_SKIP() << "needs root and unshare to mount a small file system";
  // A 64 KiB file system over the download directory, private to this run;
  // what is left in it is listed after the upload.
  auto upload_to_small_disk = [&](const std::string& body) {
    std::string program = testing::program_shell_command(testing::program("upload/kiv-upload"));
    std::string script = "mount -t tmpfs -o size=64k tmpfs '" + dnl_ + "' && " + program +
                         "; echo; ls -A '" + dnl_ + "'";
    return testing::run_program(
        {"/usr/bin/unshare", "-m", "--propagation", "private", "/bin/sh", "-c", script},
        {"PATH=/usr/bin:/bin", "HTTP_X_KIV=1", "HTTP_COOKIE=curdir=/", kType}, body);
  };
  EXPECT_EQ(upload_to_small_disk(multipart("big.bin", std::string(1 << 20, 'b'))).out,
            testing::kHeaders + "Upload failed: unable to save file\n");
  EXPECT_EQ(upload_to_small_disk(multipart("fits.bin", std::string(1000, 'f'))).out,
            kRedirect + "\nfits.bin\n");
}

}  // namespace
}  // namespace kiv
