// The program's texts, each a constant named for when it is printed; the
// texts themselves stand in report/messages.def, all in one place.
#ifndef TONEWELL_REPORT_MESSAGES_H_
#define TONEWELL_REPORT_MESSAGES_H_

#include <cinttypes>

#define MESSAGE(name, text) constexpr char name[] = text;
#include "report/messages.def"
#undef MESSAGE

#endif  // TONEWELL_REPORT_MESSAGES_H_
