#include "bundle/container.hpp"

#include <gtest/gtest.h>

#include "support/bundle_files.hpp"
#include "support/temp_dir.hpp"

#include <zip.h>

using namespace kinra2::bundle::detail;
using k2test::TempDir;
using k2test::write_file;
using kinra2::bundle::member_bytes;
namespace fs = std::filesystem;

namespace {

std::optional<Member> find(const std::string& bundle,
                           std::initializer_list<std::string_view> names) {
  return find_member(bundle, std::span<const std::string_view>(names.begin(), names.size()));
}

void write_zip(const std::string& path,
               const std::vector<std::pair<std::string, std::string>>& entries) {
  int err = 0;
  zip_t* z = zip_open(path.c_str(), ZIP_CREATE | ZIP_TRUNCATE, &err);
  ASSERT_NE(z, nullptr);
  for (const auto& [n, d] : entries) {
    zip_source_t* s = zip_source_buffer(z, d.data(), d.size(), 0);
    // Duplicate names cannot be added twice; the later-wins rule is about
    // base names, so distinct full names suffice.
    ASSERT_GE(zip_file_add(z, n.c_str(), s, ZIP_FL_ENC_UTF_8), 0);
  }
  ASSERT_EQ(zip_close(z), 0);
}

}  // namespace

TEST(ImxToc, HeaderRules) {
  TempDir t;
  write_file(t.path() / "short", std::string("IMX\0\0\0\0", 7));
  EXPECT_FALSE(imx_toc(t.file("short")));
  write_file(t.path() / "badmagic", std::string("IMXA\0\0\0\0", 8));
  EXPECT_FALSE(imx_toc(t.file("badmagic")));
  // Bytes 4-5 are free; count 0 is a valid, empty table.
  write_file(t.path() / "empty", k2test::imx_header({}, 0, 0xBEEF));
  auto toc = imx_toc(t.file("empty"));
  ASSERT_TRUE(toc);
  EXPECT_TRUE(toc->empty());
  EXPECT_FALSE(find(t.file("empty"), {"canon.bin"}));
  EXPECT_FALSE(imx_toc(t.file("missing")));
  EXPECT_FALSE(imx_toc(t.str()));  // a directory is no container
}

TEST(ImxToc, TruncatedTableOrBadNameIsNoTable) {
  TempDir t;
  // Count says 3, file ends inside the second entry.
  std::string s = k2test::imx_header({{"a", 0, 0}, {"bbbb", 0, 0}}, 3);
  write_file(t.path() / "cut", s.substr(0, s.size() - 10));
  EXPECT_FALSE(imx_toc(t.file("cut")));
  write_file(t.path() / "latin1", k2test::imx_header({{"caf\xe9", 0, 0}}, 1));
  EXPECT_FALSE(imx_toc(t.file("latin1")));
  write_file(t.path() / "ok", k2test::imx_header({{"m/x.bin", 7, 9}, {"y", 1, 2}}, 2));
  auto toc = imx_toc(t.file("ok"));
  ASSERT_TRUE(toc);
  ASSERT_EQ(toc->size(), 2u);
  EXPECT_EQ((*toc)[0].name, "m/x.bin");
  EXPECT_EQ((*toc)[0].offset, 7u);
  EXPECT_EQ((*toc)[0].size, 9u);
}

TEST(MemberBytes, BaseNameLookupAndLaterEntryWinsInEveryForm) {
  TempDir t;
  const std::vector<std::pair<std::string, std::string>> members = {
      {"a/x.tflite", "first"}, {"models/canon.f32", "F32"}, {"b/x.tflite", "second"}};
  write_file(t.path() / "b.imx", k2test::imx_of(members));
  write_zip(t.file("b.zip"), members);
  for (const auto& b : {t.file("b.imx"), t.file("b.zip")}) {
    SCOPED_TRACE(b);
    EXPECT_EQ(member_bytes(b, {"x.tflite"}), "second");
    auto m = find(b, {"canon.bin", "canon.f32"});
    ASSERT_TRUE(m);
    EXPECT_EQ(m->name, "canon.f32");
    EXPECT_EQ(m->data, "F32");
    EXPECT_FALSE(member_bytes(b, {"models/canon.f32"}));  // containers match base names only
    EXPECT_FALSE(member_bytes(b, {"X.tflite"}));          // case-sensitive
  }
  EXPECT_EQ(listing(t.file("b.imx")),
            (std::vector<std::string>{"x.tflite", "canon.f32", "x.tflite"}));
  EXPECT_EQ(listing(t.file("b.zip")),
            (std::vector<std::string>{"x.tflite", "canon.f32", "x.tflite"}));
}

TEST(MemberBytes, DirectoryBundle) {
  TempDir t;
  write_file(t.path() / "canon.f32", "F");
  write_file(t.path() / "models" / "canon.bin", "nested");
  EXPECT_EQ(member_bytes(t.str(), {"canon.bin", "canon.f32"}), "F");
  EXPECT_EQ(member_bytes(t.str(), {"models/canon.bin"}), "nested");
  write_file(t.path() / "canon.bin", "B");
  EXPECT_EQ(member_bytes(t.str(), {"canon.bin", "canon.f32"}), "B");
  // A subdirectory named like a member is not the member.
  fs::create_directories(t.path() / "sub" / "canon.bin");
  write_file(t.path() / "sub" / "canon.f32", "subF");
  EXPECT_EQ(member_bytes(t.file("sub"), {"canon.bin", "canon.f32"}), "subF");
  auto names = listing(t.str());
  std::sort(names.begin(), names.end());
  EXPECT_EQ(names, (std::vector<std::string>{"canon.bin", "canon.f32", "models", "sub"}));
  EXPECT_TRUE(listing(t.file("nope")).empty());
  EXPECT_FALSE(member_bytes(t.file("nope"), {"canon.bin"}));
}

TEST(MemberBytes, HostileSizesYieldOnlyExistingBytes) {
  // No entry may allocate what it declares: that throws (length_error,
  // bad_alloc) or zeroes gigabytes. Offsets count from the start of the body.
  const std::string body = "0123456789";
  const std::uint64_t nearly_2_64 = ~std::uint64_t{0} - 7;
  struct Row {
    std::string name;
    std::uint64_t at, size;
    std::string want;
  };
  const std::vector<Row> rows = {
      {"tail", 6, 100, "6789"},          // reaches past the end
      {"gone", 1u << 30, 5, ""},         // starts past the end: present, just empty
      {"far", 1u << 30, nearly_2_64, ""},  // ... and its size would wrap the rest of the file
      {"huge", 0, nearly_2_64, body},
  };
  std::vector<k2test::RawEntry> toc;
  for (const auto& r : rows) toc.push_back({r.name, r.at, r.size});
  const std::uint64_t data_at = k2test::imx_header(toc, 0).size();
  for (auto& e : toc) e.offset += data_at;
  TempDir t;
  write_file(t.path() / "h.imx", k2test::imx_header(toc, static_cast<std::uint16_t>(toc.size())) + body);
  for (const auto& r : rows) {
    SCOPED_TRACE(r.name);
    EXPECT_EQ(member_bytes(t.file("h.imx"), {r.name}), r.want);
  }
}

TEST(MemberBytes, ZipDetectionAndDamage) {
  TempDir t;
  write_file(t.path() / "plain.txt", "not an archive at all");
  EXPECT_FALSE(member_bytes(t.file("plain.txt"), {"canon.bin"}));
  EXPECT_TRUE(listing(t.file("plain.txt")).empty());

  const std::string payload(200000, 'z');
  write_zip(t.file("ok.zip"), {{"canon.bin", payload}});
  std::string bytes = k2test::read_file(t.path() / "ok.zip");
  // Flip bytes in the middle of the compressed data: the entry is damaged,
  // which must surface as an error, not as silently wrong bytes.
  std::string bad = bytes;
  for (std::size_t i = 60; i < 80 && i < bad.size(); ++i) bad[i] = static_cast<char>(bad[i] ^ 0x5A);
  write_file(t.path() / "bad.zip", bad);
  EXPECT_THROW(member_bytes(t.file("bad.zip"), {"canon.bin"}), std::runtime_error);
  // Headers that misstate the inflated size: an error, never the first bytes
  // passed off as the whole member. An understated entry is not inflated
  // whole before the refusal; an overstated one (2^62, in a zip64 field)
  // must not decide the reservation.
  const auto put32 = [](std::string& z, std::size_t at, std::uint32_t v) {
    for (int i = 0; i < 4; ++i) z[at + i] = static_cast<char>((v >> (8 * i)) & 0xFF);
  };
  const auto get = [](const std::string& z, std::size_t at, int n) {
    std::uint32_t v = 0;
    for (int i = n - 1; i >= 0; --i) v = v << 8 | static_cast<unsigned char>(z[at + i]);
    return v;
  };
  const auto damage = [&t](const std::string& name, const std::string& zip) {
    write_file(t.path() / name, zip);
    try {
      member_bytes(t.file(name), {"canon.bin"});
    } catch (const std::runtime_error& e) {
      return std::string(e.what());
    }
    return std::string("no error");
  };
  const auto cd = bytes.find("PK\x01\x02");
  const auto eocd = bytes.rfind("PK\x05\x06");
  ASSERT_EQ(bytes.compare(0, 4, "PK\x03\x04"), 0);
  ASSERT_NE(cd, std::string::npos);
  ASSERT_NE(eocd, std::string::npos);
  std::string under = bytes;
  put32(under, 22, 1000);
  put32(under, cd + 24, 1000);
  const std::string why = damage("under.zip", under);
  EXPECT_NE(why.find("its header declares 1000"), std::string::npos) << why;
  EXPECT_EQ(why.find("holds 200000"), std::string::npos) << why;
  std::string over = bytes;
  std::string zip64("\x01\x00\x08\x00", 4);
  k2test::put64(zip64, std::uint64_t{1} << 62);
  over.insert(cd + 46 + get(bytes, cd + 28, 2), zip64);
  put32(over, cd + 24, 0xFFFFFFFF);
  over[cd + 30] = static_cast<char>(get(bytes, cd + 30, 2) + zip64.size());
  put32(over, eocd + zip64.size() + 12, get(bytes, eocd + 12, 4) + zip64.size());
  EXPECT_NE(damage("over.zip", over).find("declares 4611686018427387904"), std::string::npos);

  // Archivers may repeat a full entry name; such an archive is readable and
  // the later entry wins like any other base-name clash. (libzip will not
  // write a repeated name, so the second name is patched in afterwards.)
  write_zip(t.file("dup.zip"), {{"m/canon.bin", "first"}, {"m/canon.biX", "second"}});
  std::string dup = k2test::read_file(t.path() / "dup.zip");
  for (auto at = dup.find("m/canon.biX"); at != std::string::npos; at = dup.find("m/canon.biX", at))
    dup[at + 10] = 'n';
  write_file(t.path() / "dup.zip", dup);
  EXPECT_EQ(member_bytes(t.file("dup.zip"), {"canon.bin"}), "second");
  EXPECT_EQ(listing(t.file("dup.zip")), (std::vector<std::string>{"canon.bin", "canon.bin"}));
  // A truncated archive has no end record left: not a zip at all.
  write_file(t.path() / "cut.zip", bytes.substr(0, bytes.size() / 2));
  EXPECT_FALSE(member_bytes(t.file("cut.zip"), {"canon.bin"}));
  EXPECT_EQ(member_bytes(t.file("ok.zip"), {"canon.bin"}), payload);
}
