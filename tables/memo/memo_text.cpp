// Memo text as a text file: the device that AssignMemo puts behind a
// TextFile, through which Locate and expressions read memos as lines.
#include <algorithm>
#include <memory>
#include <vector>

#include "tablebase/dbf4.h"
#include "tablebase/tzcommon.h"
#include "tablebase/tzutils.h"
#include "tables/memo/memo.h"
#include "tables/memo/memo_internal.h"

namespace memo {

namespace {

constexpr size_t kLineSlots = 1024;
constexpr size_t kMaxLineWidth = 254;
constexpr char kSoftReturn = '\x8D';

size_t LineWidth() {
  const MemoSettings& s = Engine().memo;
  return s.WidthOn ? std::clamp<size_t>(size_t(s.Width) + 1, 1, kMaxLineWidth) : kMaxLineWidth;
}

// Cuts memo text into at most kLineSlots lines of at most `width`
// characters. A line ends at CR (a following LF is skipped) or at the soft
// line end 0x8D LF that word-wrapping editors write; 0x8D alone is a letter
// of the code pages (CP852 "Ź", Windows-1250 "Ť") and stays in the text. A
// longer line wraps after its last blank, or is cut at the width.
std::vector<std::string> SplitLines(std::string_view text, size_t width) {
  std::vector<std::string> lines;
  auto keep = [&](std::string_view piece) {
    if (lines.size() < kLineSlots) lines.emplace_back(piece);
  };
  size_t at = 0;
  while (at < text.size()) {
    size_t end = at, skip = 0;
    for (; end < text.size(); ++end) {
      if (text[end] == '\r') {
        skip = end + 1 < text.size() && text[end + 1] == '\n' ? 2 : 1;
        break;
      }
      if (text[end] == kSoftReturn && end + 1 < text.size() && text[end + 1] == '\n') {
        skip = 2;
        break;
      }
    }
    std::string_view line = text.substr(at, end - at);
    while (line.size() > width) {
      const size_t blank = line.substr(0, width).rfind(' ');
      const size_t cut = blank == std::string_view::npos ? width : blank + 1;
      keep(line.substr(0, cut));
      line.remove_prefix(cut);
    }
    keep(line);
    at = end + skip;
  }
  return lines;
}

// Memo `ref` of area `a` as lines; false after reporting.
bool GetMemo(WorkArea& a, MemoState& m, int32_t ref, std::vector<std::string>& lines) {
  lines.clear();
  const int64_t block = ref < 0 ? -int64_t(ref) : ref;
  std::string data;
  bool header = false;
  if (int rc = ReadMemo(m, block, data, header)) {
    if (rc == 1003)
      SetError(1003, MemoName(a) + " Record # " + IntText(a.RecNo) + " [GetMemo]");
    else
      SetError(30, MemoName(a) + " [GetMemo]");
    return false;
  }
  TranslateWindows(a.ReadXlat, data.data(), data.size(), 0);
  lines = SplitLines(data, LineWidth());
  return true;
}

// The device over one memo of one area. Reading hands out the memo's
// lines; writing collects the text, which closing stores as the memo's new
// version.
class MemoDevice : public TextDevice {
 public:
  MemoDevice(uint8_t area, int32_t& ref) : area_(area), ref_(ref) {}

  void Open(bool forWriting) override {
    LastErrorCode() = 0;
    lines_.clear();
    next_ = 0;
    written_.clear();
    writing_ = forWriting;
    if (forWriting) return;
    AreaScope scope(area_);
    if (WorkArea* a = CheckMemoField("AssignMemo")) GetMemo(*a, *MemoOf(*a), ref_, lines_);
  }

  bool ReadLine(std::string& line) override {
    if (next_ >= lines_.size()) return false;
    line = lines_[next_++];
    return true;
  }

  void Write(std::string_view bytes) override { written_.append(bytes); }

  void Close() override {
    lines_.clear();
    if (!writing_) return;
    writing_ = false;
    LastErrorCode() = 0;
    AreaScope scope(area_);
    WorkArea* a = CheckMemoField("AssignMemo");
    if (!a) return;
    const int32_t block = EditMemo(*a, *MemoOf(*a), ref_, written_);
    if (LastErrorCode() == 0) ref_ = block;
    written_.clear();
  }

 private:
  uint8_t area_;
  int32_t& ref_;
  bool writing_ = false;
  std::vector<std::string> lines_;
  size_t next_ = 0;
  std::string written_;
};

}  // namespace

}  // namespace memo

void AssignMemo(TextFile& file, int32_t& ref) {
  LastErrorCode() = 0;
  if (!memo::CheckMemoField("AssignMemo")) return;
  file.Assign(std::make_unique<memo::MemoDevice>(CurrentArea(), ref));
}
