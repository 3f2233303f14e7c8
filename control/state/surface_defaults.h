// control/state/surface_defaults.h - the default texts of the surface's text
// fields: what every new control instance starts with.
//
// The samples let the built-in panel do something useful at once: the destination and
// staged text make a Unicode send, pduToDecode is an SMS-SUBMIT PDU that the panel's
// decode button turns into "text>number", and Text8 is a listing answer of
// "at+cmgl=4" (received and stored messages, each "+CMGL: " header line
// followed by its PDU line) for the listing's parsing step. Constants only;
// thread-safe.
#ifndef REVIRI_CORE_SURFACE_DEFAULTS_H_
#define REVIRI_CORE_SURFACE_DEFAULTS_H_

namespace reviri::detail {

inline constexpr char kReceiveBufferDefault[] = "TextTIME";
// A destination number: 13 digits in international form, no plus sign. It
// is the own number of the simulated modem (sim/), so a send from the panel
// comes back there as a received message that the panel can read.
inline constexpr char kDestinationDefault[] = "4915112345678";
// Three identical Chinese characters (U+597D), for a UCS2 send.
inline constexpr char kStagedTextDefault[] = "\u597D\u597D\u597D";
inline constexpr char kSendResultDefault[] = "Text3";
inline constexpr char kReadIndexDefault[] = "1";
inline constexpr char kReadPduDefault[] = "in sms\r\n";
// An SMS-SUBMIT PDU as a person might paste it: two lines, with a space in
// place of the filler digit of each number. The decoder cuts fields by
// position, so the layout keeps every field where it belongs: the blanks
// stand in for the "F" fillers (blanks around digits are ignored), the line
// break sits in the validity-period field (relative format, which nothing
// reads), and the blank after the user data lies past the 35 septets that
// the length field asks for. Decodes to
// "Hello from the Reviri test panel :)" for 8613800138000. 111 characters.
inline constexpr char kPduToDecodeDefault[] =
    "0891683108200505 011000D91683108108300 00000\r\n"
    "23C8329BFD0699E5EF36888E2E83A4657B5A9E06D1CB733A081E7697D9205D0A ";
inline constexpr char kDecodedPduDefault[] = "Text7";
// An "at+cmgl=4" answer: six received messages (status 0 and 1) and three
// stored outgoing ones (status 2 and 3), 7-bit and UCS2. 1182 characters.
inline constexpr char kListingDefault[] =
    "\r\n"
    "+CMGL: 1,1,,46\r\n"
    "0891683108200505F0040D91683119325476F80000421170410215231DCD72999E769F41EDB7BD4C06D1DFA019BCCD02C9DFEF36282603\r\n"
    "+CMGL: 2,1,,34\r\n"
    "0891683108200505F0040D91683108108300F00008421170814530230E597D597D597DFF0C660E592989C1\r\n"
    "+CMGL: 3,0,,48\r\n"
    "0891683108200505F0040D91685100001011F100004211712109062320D9775D0E8287E5E3321B949E83C274101D5D0699E56F371D442ECFD7\r\n"
    "+CMGL: 4,2,,36\r\n"
    "0891683108200505F011000D91683108108300F00000A7174F37A89D07DDC37916685E2E83F2EF3A68FE7EBB01\r\n"
    "+CMGL: 5,3,,23\r\n"
    "0891683108200505F011000D91683119325476F80008A7085468672B61095FEB\r\n"
    "+CMGL: 6,0,,46\r\n"
    "0891683108200505F0040D91688106002022F20000421172311759231DD2B23D2D4F83D8E9393DED3E83E6E1369C5DD681EA6E79394C06\r\n"
    "+CMGL: 7,1,,60\r\n"
    "0891683108200505F0040D91683107003033F30000421173012000232DC8301C9E0789D3723A9A1CCE8740C4B4DB5D9683D273D0DB0DAACF41F4B73B7D46D341613AE8E602\r\n"
    "+CMGL: 8,3,,52\r\n"
    "0891683108200505F011000D91685100001011F10000A72A5474D8BD9EB34049D03DCD6683E0E9F11A94A683EA7050D84C2FCB41F7B77C0DA2BFC9E13C\r\n"
    "+CMGL: 9,2,,80\r\n"
    "0891683108200505F011000D91683119325476F80000A74A5076393C2F83C661361B240E8FD7A03BBAEC06E5DF7550585E0699E5E5320BE47E83E4F5391A14A683C26CB60B242D9FC372F21C6496BFDB203ABA0CBAA3DFEC32\r\n"
    "\r\n"
    "OK\r\n";
inline constexpr char kGsm7TextDefault[] = "gsm7bit";

}  // namespace reviri::detail

#endif  // REVIRI_CORE_SURFACE_DEFAULTS_H_
