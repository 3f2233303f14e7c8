// control/storage/receive.cpp - new-message processing and send results of the
// receive buffer, and the hand-over of indications met inside commands.
#include "control/storage/receive.h"

#include <deque>
#include <memory>
#include <string>
#include <string_view>

#include "base/at_answers.h"
#include "base/flag_scope.h"
#include "base/text.h"
#include "control/send/send.h"
#include "control/storage/store.h"

namespace reviri::sms {
namespace {

using detail::ControlCore;

// An unfinished line longer than this is noise (a modem's URC lines are a
// few dozen characters); only its end is kept.
constexpr std::size_t kMaxUnfinishedLine = 4096;

struct ReceiveState {
  bool running = false;   // the processing is on the stack
  bool rerun = false;     // the buffer changed while it ran
  bool trimming = false;  // the processing itself is editing the buffer
  // Received text met outside the receive event, waiting to be appended to
  // the buffer once the current processing has finished.
  std::deque<std::string> queued;
};

void setBuffer(ControlCore& core, ReceiveState& st, std::string text) {
  FlagScope trimming(st.trimming);
  core.surface.receiveBuffer.setText(std::move(text));
}

// Reads an announced message; only a message that could be read is deleted
// (when asked) and announced. One that could not stays in storage, where the
// listing finds it.
void newMessage(ControlCore& core, const std::string& index) {
  if (!read_insms(core, index)) return;
  if (core.props.Checkautodel) delSIM(core, index);
  core.events.SMSReceived(index, core.props.LastReadSms_sender, core.props.LastReadSms_text);
}

void handleLine(ControlCore& core, std::string_view line) {
  const std::string index = at::cmtiIndex(line);
  if (!index.empty()) {
    // A host that turned the processing off leaves the message unread.
    if (core.processNewMessages) newMessage(core, index);
    return;
  }
  raiseSendResult(core, line);  // anything else is dropped
}

void keepEndOfUnfinishedLine(ControlCore& core, ReceiveState& st) {
  const std::string& rest = core.surface.receiveBuffer.text();
  if (rest.size() <= kMaxUnfinishedLine) return;
  std::size_t from = rest.size() - kMaxUnfinishedLine;
  while (from < rest.size() && (static_cast<unsigned char>(rest[from]) & 0xC0) == 0x80) ++from;
  setBuffer(core, st, rest.substr(from));
}

// Takes the complete lines out of the buffer and acts on them in order; the
// unfinished last line stays for the next arrival.
void processBuffer(ControlCore& core, ReceiveState& st) {
  const std::string& buffer = core.surface.receiveBuffer.text();
  const std::size_t lastLineEnd = buffer.rfind('\n');
  if (lastLineEnd != std::string::npos) {
    const std::string lines = buffer.substr(0, lastLineEnd + 1);
    setBuffer(core, st, buffer.substr(lastLineEnd + 1));
    for (std::size_t pos = 0; pos < lines.size();) {
      const std::size_t end = lines.find('\n', pos) + 1;
      handleLine(core, std::string_view(lines).substr(pos, end - pos));
      pos = end;
    }
  }
  keepEndOfUnfinishedLine(core, st);
}

void runProcessing(ControlCore& core, ReceiveState& st) {
  FlagScope running(st.running);
  for (;;) {
    st.rerun = false;
    processBuffer(core, st);
    if (st.rerun) continue;
    if (st.queued.empty()) return;
    std::string next = std::move(st.queued.front());
    st.queued.pop_front();
    core.surface.receiveBuffer.setText(core.surface.receiveBuffer.text() + next);
  }
}

void receiveBufferChanged(ControlCore& core, ReceiveState& st) {
  if (st.trimming) return;
  if (st.running) {
    st.rerun = true;  // picked up by the loop that is running
    return;
  }
  runProcessing(core, st);
}

// The modem now waits for a PDU: no other command may be written.
bool opensMessageEntry(std::string_view command, std::string_view answer) {
  return (text::startsWithCaseless(command, "AT+CMGS") || text::startsWithCaseless(command, "AT+CMGW")) &&
         answer.find('>') != std::string_view::npos;
}

void commandFinished(ControlCore& core, ReceiveState& st, const std::string& command,
                     const std::string& answer) {
  if (st.running || st.queued.empty() || opensMessageEntry(command, answer)) return;
  runProcessing(core, st);
}

}  // namespace

void installReceivePath(ControlCore& core) {
  auto st = std::make_shared<ReceiveState>();
  core.surface.receiveBuffer.onChange = [&core, st] { receiveBufferChanged(core, *st); };
  auto& hooks = core.exchange.hooks();
  hooks.receivedDuringCommand = [st](const std::string& text) { st->queued.push_back(text); };
  hooks.commandFinished = [&core, st](const std::string& command, const std::string& answer) {
    commandFinished(core, *st, command, answer);
  };
}

}  // namespace reviri::sms
