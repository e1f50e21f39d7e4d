#include "protocol/nmea.h"

#include <algorithm>
#include <string>

#include "serial/serial_port.h"

namespace flashpost::protocol {

namespace {

// Index of the first character behind "$PQRV100," and "$PQRV28,01,".
constexpr size_t kVersionFieldsStart = 9;
constexpr size_t kCustomerIdStart = 11;
// GSV: the one-digit number of sentences in the group, then the fields behind it.
constexpr size_t kGsvTotalIndex = 7;
constexpr size_t kGsvFieldsStart = 9;
constexpr int kGsvFillingSentences = 3;
constexpr int kGsvBlocksPerSentence = 4;
constexpr int32_t kLowestSbasNumber = 33;
constexpr int32_t kSbasRenumbering = 87;
// A C/N0 this high is not a real reading; the rest of its sentence is not trusted.
constexpr int32_t kImplausibleCno = 100;
// GSA: the fix type behind the one-character mode field.
constexpr size_t kGsaFixTypeIndex = 9;

// The address field and what follows it, from index 1.
bool Matches(std::string_view sentence, std::string_view prefix) {
  return sentence.size() > prefix.size() && sentence.substr(1, prefix.size()) == prefix;
}

// The reader hands over its zero-terminated buffer; a NUL from a noisy line ends the text.
std::string_view UpToNul(std::string_view sentence) {
  return sentence.substr(0, sentence.find('\0'));
}

int32_t DigitAt(std::string_view text, size_t index) {
  if (index >= text.size()) return 0;
  char c = text[index];
  return c >= '0' && c <= '9' ? c - '0' : 0;
}

// Cuts a sentence into fields, each ending at one of the separators (consumed with it) or at the
// limit, beyond which nothing is read.
class FieldReader {
 public:
  FieldReader(std::string_view text, size_t start, size_t limit, std::string_view separators)
      : text_(text.substr(0, std::min(limit, text.size()))),
        pos_(std::min(start, text_.size())),
        separators_(separators) {}

  std::string_view Next() {
    size_t begin = pos_;
    while (pos_ < text_.size() && separators_.find(text_[pos_]) == std::string_view::npos) ++pos_;
    std::string_view field = text_.substr(begin, pos_ - begin);
    ended_by_ = '\0';
    if (pos_ < text_.size()) ended_by_ = text_[pos_++];
    return field;
  }
  // The separator that ended the last field; NUL when it ran to the limit.
  char EndedBy() const { return ended_by_; }

 private:
  std::string_view text_;
  size_t pos_;
  std::string_view separators_;
  char ended_by_ = '\0';
};

std::string VersionStatusText(app::PortBoard& board, int slot) {
  return " F/W Ver: " + std::to_string(NmeaFieldToInt(board.VersionField3[slot].Get())) + "." +
         std::to_string(NmeaFieldToInt(board.VersionField4[slot].Get()));
}

// The text of a "$PQRV28,01," reply: up to the first "*" (the end without one), at most 32.
std::string_view CustomerIdText(std::string_view sentence) {
  size_t end = std::min(sentence.find('*'), sentence.size());
  if (end <= kCustomerIdStart) return {};
  return sentence.substr(kCustomerIdStart,
                         std::min(end - kCustomerIdStart, kCustomerIdReplyMaxLength));
}

}  // namespace

void ParseVersionReply(app::PortBoard& board, std::string_view sentence, size_t start, int slot) {
  if (!app::IsSlot(slot)) return;
  FieldReader fields(sentence, start, sentence.size(), ",");
  fields.Next();
  fields.Next();
  std::string_view field3 = fields.Next();
  std::string_view field4 = fields.Next();
  board.VersionField3[slot].Set(std::string(field3.substr(0, kVersionFieldMaxLength)));
  board.VersionField4[slot].Set(std::string(field4.substr(0, kVersionFieldMaxLength)));
}

void ParseGsv(app::PortBoard& board, std::string_view sentence, int slot) {
  if (!app::IsSlot(slot)) return;
  const int32_t total = DigitAt(sentence, kGsvTotalIndex);
  FieldReader fields(sentence, kGsvFieldsStart, kGsvReadLimit, ",*");
  const int32_t message = NmeaFieldToInt(fields.Next());
  // Only the first three sentences of a group fill the 12 entries; a later one can only end
  // the group. A number below 1 belongs to no entries at all.
  if (message > kGsvFillingSentences) {
    if (message == total) board.GsvComplete[slot].store(1);
    return;
  }
  if (message < 1) return;
  fields.Next();  // satellites in view

  auto& prn = board.SatPrn[slot];
  auto& snr = board.SatSnr[slot];
  for (int j = 0; j < kGsvBlocksPerSentence; ++j) {
    const int e = kGsvBlocksPerSentence * (message - 1) + j;
    if (j == 0 && message == 1) {
      for (auto& entry : prn) entry.store(0);
      for (auto& entry : snr) entry.store(0);
    }
    int32_t number = NmeaFieldToInt(fields.Next());
    // SBAS satellites 33 and up are kept apart from the GPS numbers, as 120 and up.
    if (number >= kLowestSbasNumber) {
      number = static_cast<int32_t>(static_cast<uint32_t>(number) + kSbasRenumbering);
    }
    prn[e].store(number);
    fields.Next();  // elevation
    fields.Next();  // azimuth
    const int32_t cno = NmeaFieldToInt(fields.Next());
    snr[e].store(cno);
    if (cno >= kImplausibleCno) return;
    if (fields.EndedBy() == '*') break;
  }
  if (message == total) board.GsvComplete[slot].store(1);
}

void HandleSlotSentence(app::PortBoard& board, std::string_view sentence, int slot) {
  if (!app::IsModuleSlot(slot)) return;
  sentence = UpToNul(sentence);
  // Evidence that the module talks NMEA at the speed its port runs at.
  const bool intact = VerifyNmeaChecksum(sentence);
  if (intact) board.SentencesSeen[slot].fetch_add(1);

  if (board.VersionSeen[slot].load() == 0 && Matches(sentence, "PQRV100")) {
    ParseVersionReply(board, sentence, kVersionFieldsStart, slot);
    board.ReportedVersion[slot].Set(board.VersionField3[slot].Get() + "." +
                                    board.VersionField4[slot].Get());
    board.VersionSeen[slot].store(1);
    board.StatusText[slot].Set(VersionStatusText(board, slot));
    // The report ends the probe; the update that follows opens the port again at its own speed.
    serial::CloseIfOpen(board, slot);
  }
  if (board.CustomerIdReplySeen[slot].load() == 0 && Matches(sentence, "PQRV28,01")) {
    board.CustomerIdReply[slot].Set(std::string(CustomerIdText(sentence)));
    board.CustomerIdReplySeen[slot].store(1);
    return;
  }
  if (board.Reply200Seen[slot].load() == 0 && Matches(sentence, "PQRV200")) {
    board.Reply200Seen[slot].store(1);
  }
  if (Matches(sentence, "GPGSV") && intact) ParseGsv(board, sentence, slot);
}

void HandleTerminalSentence(app::PortBoard& board, std::string_view sentence) {
  sentence = UpToNul(sentence);
  if (Matches(sentence, "GPGSV")) {
    if (VerifyNmeaChecksum(sentence)) ParseGsv(board, sentence, app::kTerminalSlot);
    return;
  }
  if (Matches(sentence, "GPGSA") && VerifyNmeaChecksum(sentence)) {
    board.FixType[app::kTerminalSlot].store(DigitAt(sentence, kGsaFixTypeIndex));
  }
}

}  // namespace flashpost::protocol
