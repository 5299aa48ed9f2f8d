// One of the programs that the shared-writes model test steps through an
// interleaving: it sits on a shared table (its own index open) in area 1
// and, beside it, in a table component, and runs one command per line of
// its standard input, answering one line each.
//   model_writer_helper <table>
// Commands (texts run to the end of the line and may hold blanks):
//   open | close                 USE the table shared with its index / close it
//   read <n>                     GO n; answers "ok <the record's bytes>"
//   set <n> <text>               field n of the typed record: C as it is, N and
//                                F as a number, D as a date text, L "T"/"F"
//   memo <text>                  rewrites the memo (field 6) through the text
//                                device; answers "ok <new reference>"
//   commit | delete | recall     RLock, Replace / DeleteRec / RecallRec, Unlock
//   poke <n> <bytes>             the raw bytes of field n under the record lock
//   append <C>|<N>|<F>|<D>|<L>|<memo>   a new record under the table lock;
//                                answers "ok <record> <memo reference>"
//   dsedit <n> | dsset <name> <text> | dsbool <name> T|F | dsreread |
//   dspost | dscancel            the table component: record n into edit, a
//                                field by name, BookmarkValid of its record,
//                                Post, Cancel
//   quit                         closes everything and ends
// A failure answers "error <code> <message>".
#include <cstring>
#include <exception>
#include <iostream>
#include <memory>
#include <sstream>
#include <string>

#include "tablebase/dbf4.h"
#include "tablebase/tzutils.h"
#include "tables/datasets/utzfds.h"
#include "tables/expr/tzndxlow.h"
#include "tables/mdx/tzndx.h"
#include "tables/memo/memo.h"
#include "tables/tablesinit.h"

namespace {

std::string table;
std::unique_ptr<TTzDbf> ds;

void SetField(int n, const std::string& text) {
  char* p = FieldAddress(n);
  switch (FieldType(n)) {
    case 'C':
    case 'D':
      p[0] = char(std::min<size_t>(text.size(), FieldType(n) == 'C' ? FieldLen(n) : 10));
      std::memcpy(p + 1, text.data(), uint8_t(p[0]));
      break;
    case 'L': p[0] = text == "T"; break;
    default:
      if (FieldDec(n) > 0) {
        const double v = ReadNumber(text);
        std::memcpy(p, &v, sizeof v);
      } else {
        const int32_t v = int32_t(ReadNumber(text));
        std::memcpy(p, &v, sizeof v);
      }
  }
}

int32_t RewriteMemo(const std::string& text) {
  int32_t ref;
  std::memcpy(&ref, FieldAddress(6), sizeof ref);
  TextFile f;
  AssignMemo(f, ref);
  f.Rewrite();
  f.Write(text);
  f.Close();
  std::memcpy(FieldAddress(6), &ref, sizeof ref);
  return ref;
}

template <class F>
void Locked(bool table, F write) {
  if (!(table ? ALock() : RLock())) return;
  write();
  const int code = LastErrorCode();
  const std::string message = LastErrorMessage();
  Unlock();
  if (code != 0) SetError(uint16_t(code), message);
}

TTzDbf& Dataset() {
  if (!ds) {
    ds = std::make_unique<TTzDbf>("Model");
    ds->SetDbfFileName(table);
    ds->Open();
  }
  return *ds;
}

// Runs one command; the answer without "ok" when it succeeded.
std::string Run(const std::string& cmd, const std::string& arg) {
  if (!cmd.starts_with("ds")) Select(1);
  const std::string first = arg.substr(0, arg.find(' '));
  const std::string rest = arg.find(' ') == std::string::npos ? "" : arg.substr(arg.find(' ') + 1);
  if (cmd == "open") {
    USE(table, nullptr, 0);
    if (LastErrorCode() == 0) SetIndexTo("");
  } else if (cmd == "close" || cmd == "quit") {
    ds.reset();
    Select(1);
    CloseArea();
  } else if (cmd == "read") {
    GO(std::stoi(arg));
    std::string out = Peek(0, RecNo());
    for (int n = 1; n <= FieldCount(); ++n) out += Peek(n, RecNo());
    return " " + out;
  } else if (cmd == "set") {
    SetField(std::stoi(first), rest);
  } else if (cmd == "memo") {
    return " " + std::to_string(RewriteMemo(arg));
  } else if (cmd == "commit" || cmd == "delete" || cmd == "recall") {
    Locked(false, cmd == "commit" ? Replace : cmd == "delete" ? DeleteRec : RecallRec);
  } else if (cmd == "poke") {
    Locked(false, [&] { Poke(rest, std::stoi(first), RecNo()); });
  } else if (cmd == "append") {
    ClearRecord();
    std::istringstream in(arg);
    std::string v;
    for (int n = 1; n <= 5 && std::getline(in, v, '|'); ++n) SetField(n, v);
    std::getline(in, v);
    int32_t ref = RewriteMemo(v);
    if (LastErrorCode() == 0) Locked(true, Append);
    return " " + std::to_string(RecNo()) + " " + std::to_string(ref);
  } else if (cmd == "dsedit") {
    Dataset().SetRecNo(std::stoi(arg));
    Dataset().Edit();
  } else if (cmd == "dsset" || cmd == "dsbool") {
    cmd == "dsset" ? Dataset().SetFieldStr(first, rest) : Dataset().SetFieldBool(first, rest == "T");
  } else if (cmd == "dsreread") {
    Dataset().BookmarkValid(Dataset().GetBookmark());
  } else if (cmd == "dspost") {
    Dataset().Post();
  } else if (cmd == "dscancel") {
    Dataset().Cancel();
  } else {
    SetError(1, "unknown command " + cmd);
  }
  return "";
}

}  // namespace

int main(int argc, char** argv) {
  if (argc != 2) return 2;
  table = argv[1];
  TablesStartup();
  SetAutoErrorHandling(false);
  SetCentury();
  SetDateFormat(4);
  for (std::string line; std::getline(std::cin, line);) {
    const size_t sp = line.find(' ');
    const std::string cmd = line.substr(0, sp);
    std::string answer;
    LastErrorCode() = 0;
    try {
      answer = Run(cmd, sp == std::string::npos ? "" : line.substr(sp + 1));
    } catch (const std::exception& e) {
      if (LastErrorCode() == 0) SetError(1, e.what());
    }
    if (LastErrorCode() != 0)
      std::cout << "error " << LastErrorCode() << " " << LastErrorMessage() << std::endl;
    else
      std::cout << "ok" << answer << std::endl;
    if (cmd == "quit") break;
  }
  EngineShutdown();
  return 0;
}
