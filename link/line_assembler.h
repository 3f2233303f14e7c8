// link/line_assembler.h - turns the byte stream of a serial line into
// complete modem lines.
//
// Bytes are fed in whatever pieces the port delivers; a line is handed out
// only once its line end (LF) has arrived, so nothing downstream ever acts
// on half a line. Two things are special:
//   - the message-entry prompt "> " has no line end: it is handed out as a
//     line of its own as soon as it stands at the start of a line;
//   - the two-line indications +CMT: and +CDS: carry their PDU (or text) on
//     the next line: the header is held back until that line is complete and
//     both are handed out together.
// An unfinished line longer than kMaxPartialLine is noise (a modem line is a
// few hundred bytes at most); only its end is kept, so memory stays bounded
// however long a source talks without a line end.
//
// Threading: not thread-safe; owned by one channel on one thread.
#ifndef REVIRI_LINK_LINE_ASSEMBLER_H_
#define REVIRI_LINK_LINE_ASSEMBLER_H_

#include <cstddef>
#include <deque>
#include <string>
#include <string_view>

namespace reviri::link {

struct AssembledLine {
  // The line without its line end and trailing CRs ("" for a blank line).
  std::string text;
  // The bytes as received, line end included (for raw answers).
  std::string raw;
  // For +CMT:/+CDS: the line that followed the header, and its raw bytes.
  std::string second;
  std::string secondRaw;
  bool prompt = false;  // the message-entry prompt "> "
};

class LineAssembler {
 public:
  static constexpr std::size_t kMaxPartialLine = 4096;

  // Adds received bytes; every line they complete is queued.
  void feed(std::string_view bytes);
  bool hasLine() const { return !lines_.empty(); }
  // The oldest complete line; only when hasLine().
  AssembledLine take();
  // The bytes of the unfinished line (and of a two-line indication whose
  // second line is still open), as received.
  std::string unfinished() const;
  // Takes the unfinished bytes away (an answer that ends at a time-out
  // keeps what arrived).
  std::string takeUnfinished();
  // Forgets everything, queued lines included.
  void clear();

 private:
  void completeLine();
  void checkPrompt();
  void boundPartial();

  std::string partial_;
  std::deque<AssembledLine> lines_;
  AssembledLine held_;  // a +CMT:/+CDS: header waiting for its second line
  bool holding_ = false;
  bool afterPrompt_ = false;  // drop the space of a prompt split as ">" " "
};

// Whether `line` is the header of a two-line indication (+CMT:, +CDS:),
// in any letter case. "+CMTI:" and "+CDSI:" are one-line indications.
bool isTwoLineIndication(std::string_view line);

}  // namespace reviri::link

#endif  // REVIRI_LINK_LINE_ASSEMBLER_H_
