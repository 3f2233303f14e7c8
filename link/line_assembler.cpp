// link/line_assembler.cpp - complete lines out of a byte stream.
#include "link/line_assembler.h"

#include <utility>

#include "base/text.h"

namespace reviri::link {
namespace {

std::string withoutLineEnd(std::string_view raw) {
  while (!raw.empty() && (raw.back() == '\n' || raw.back() == '\r')) raw.remove_suffix(1);
  // A CR inside the line separates an echo without LF ("AT\r> "): keep the
  // text after it, which is what the modem said last.
  const std::size_t cr = raw.rfind('\r');
  if (cr != std::string_view::npos) raw.remove_prefix(cr + 1);
  return std::string(raw);
}

}  // namespace

bool isTwoLineIndication(std::string_view line) {
  return text::startsWithCaseless(line, "+CMT:") || text::startsWithCaseless(line, "+CDS:");
}

void LineAssembler::feed(std::string_view bytes) {
  while (!bytes.empty()) {
    if (afterPrompt_ && bytes.front() == ' ') bytes.remove_prefix(1);
    afterPrompt_ = false;
    if (bytes.empty()) break;
    const std::size_t end = bytes.find('\n');
    if (end == std::string_view::npos) {
      partial_.append(bytes);
      checkPrompt();
      boundPartial();
      return;
    }
    partial_.append(bytes.substr(0, end + 1));
    bytes.remove_prefix(end + 1);
    completeLine();
  }
}

void LineAssembler::checkPrompt() {
  // The prompt stands at the start of a line, after a CR at most ("AT+CMGS=
  // 23\r> " from a modem that echoes without LF).
  const std::size_t cr = partial_.rfind('\r');
  const std::string_view last = std::string_view(partial_).substr(cr == std::string::npos ? 0 : cr + 1);
  if (last != ">" && last != "> ") return;
  const bool spaceMayFollow = last == ">";
  if (cr != std::string::npos) {
    // What came before the CR is a line of its own (an echo).
    std::string before = partial_.substr(0, cr + 1);
    partial_.erase(0, cr + 1);
    lines_.push_back({withoutLineEnd(before), std::move(before), {}, {}, false});
  }
  lines_.push_back({">", std::exchange(partial_, {}), {}, {}, true});
  afterPrompt_ = spaceMayFollow;
}

void LineAssembler::completeLine() {
  AssembledLine line;
  line.raw = std::exchange(partial_, {});
  line.text = withoutLineEnd(line.raw);
  if (holding_) {
    if (line.text.empty()) {
      held_.raw += line.raw;  // blank lines between header and body
      return;
    }
    held_.second = std::move(line.text);
    held_.secondRaw = std::move(line.raw);
    holding_ = false;
    lines_.push_back(std::move(held_));
    held_ = {};
    return;
  }
  if (isTwoLineIndication(line.text)) {
    held_ = std::move(line);
    holding_ = true;
    return;
  }
  lines_.push_back(std::move(line));
}

void LineAssembler::boundPartial() {
  if (partial_.size() <= kMaxPartialLine) return;
  partial_.erase(0, partial_.size() - kMaxPartialLine);
}

AssembledLine LineAssembler::take() {
  AssembledLine line = std::move(lines_.front());
  lines_.pop_front();
  return line;
}

std::string LineAssembler::unfinished() const { return (holding_ ? held_.raw : std::string()) + partial_; }

std::string LineAssembler::takeUnfinished() {
  std::string bytes = unfinished();
  partial_.clear();
  held_ = {};
  holding_ = false;
  return bytes;
}

void LineAssembler::clear() {
  takeUnfinished();
  lines_.clear();
  afterPrompt_ = false;
}

}  // namespace reviri::link
