// Received units with what a reader must make of them, shared by the library's parser tests
// and the simulator's encoder tests.
#pragma once

#include <cstdint>

namespace CodecTest {

struct Unit {
    const char* source;
    const char* hex;
    const char* centre;
    const char* number;
    uint8_t senderType;
    const char* stamp;  // yy mm dd hh mm ss zz, as the record holds it
    uint8_t coding;
    const char* header;  // user-data header after its length octet, in hex
    const char* text;
    bool simulatorWrites;  // first octet 0x04/0x44, as the simulator's encoder writes it
};

// Units received by real modems, as published.
inline constexpr Unit kPublished[] = {
    {"GSM 03.40 tutorial 'SMS and the PDU format' (dreamfabric.com), SMS-DELIVER example",
     "07917283010010F5040BC87238880900F10000993092516195800AE8329BFD4697D9EC37", "27381000015",
     "27838890001", 0xC8, "99032915165908", 0x00, "", "hellohello", true},
    {"jdsms.com.cn help desk article 136, a unit read from a GSM modem",
     "07911326040000F0040B911346610089F60000208062917314080CC8F71D14969741F977FD07", "31624000000",
     "31641600986", 0x91, "02082619374180", 0x00, "", "How are you?", true},
    {"Nokia developer forum thread 13037, a UCS2 message read with +CMGR",
     "07910201956905F0040B910201014160F3000820219130521580040628062A", "20105996500", "20101014063",
     0x91, "02121903255108", 0x08, "", "\xD8\xA8\xD8\xAA", true},
    {"test of the public jsmppmodem project (PduServiceTest), alphanumeric sender",
     "0791448720003023240DD0E474D81C0EBB010000111011315214000BE474D81C0EBB5DE3771B", "447802000332",
     "diafaan", 0xD0, "11011113254100", 0x00, "", "diafaan.com", false},
    {"+CMGR read test of a public Python modem library (China Mobile centre)",
     "0891683108200505F0040D91683118140276F800004111502164332309F0BA7B8C66C55832", "8613800250500",
     "8613814120678", 0x91, "14110512463332", 0x00, "", "punch,1,2", true},
    {"AT+CMGR=1 reply quoted in a public C SMS module",
     "0891683108200505F0040D91683106154617F50000701090712450230F61F1985C369FD169F59ADD76BF01",
     "8613800250500", "8613605164715", 0x91, "07010917420532", 0x00, "", "abcdefghijklmno", true},
};

// Units laid out by hand after TS 23.040 9.2.2.1 and 9.2.3.24 and TS 23.038 clauses 4 and
// 6.2.1, for what the published ones lack.
inline constexpr Unit kConstructed[] = {
    {"7-bit, extension characters",
     "0891683108200505F0040D91683119325476F800004230504170902317453C5D07DA9437BC8D6F83DAA436AF0D6"
     "5D3DB0001",
     "8613800250500", "8613912345678", 0x91, "24030514070932", 0x00, "", "Ext: €[]{}\\^~|", true},
    {"UCS2 Chinese, centre length 00, even digit count",
     "00040C916831193254760008423050417090230A4F60597DFF0C4E16754C", "", "861391234567", 0x91,
     "24030514070932", 0x08, "", "你好，世界", true},
    {"UCS2 surrogate pair",
     "0891683108200505F0040D91683119325476F80008423050417090230A004F004B0020D83DDE00",
     "8613800250500", "8613912345678", 0x91, "24030514070932", 0x08, "", "OK \xF0\x9F\x98\x80",
     true},
    {"8-bit", "0891683108200505F0040D91683119325476F80004423050417090230A48656C6C6F2038626974",
     "8613800250500", "8613912345678", 0x91, "24030514070932", 0x04, "", "Hello 8bit", true},
    {"7-bit, 6-octet header",
     "0891683108200505F0440D91683119325476F80000423050417090230F0500032A0201E061391DF4769701",
     "8613800250500", "8613912345678", 0x91, "24030514070932", 0x00, "00032A0201", "part one",
     true},
    {"7-bit, 5-octet header",
     "0891683108200505F0440D91683119325476F80000423050417090230A040102000098D3F632",
     "8613800250500", "8613912345678", 0x91, "24030514070932", 0x00, "01020000", "five", true},
    {"7-bit, 7-octet header",
     "0891683108200505F0440D91683119325476F80000423050417090230D06080412340201F3B2BDEC06",
     "8613800250500", "8613912345678", 0x91, "24030514070932", 0x00, "080412340201", "seven", true},
    {"UCS2, 6-octet header",
     "0891683108200505F0440D91683119325476F80008423050417090230A0500032A02027B2C4E8C",
     "8613800250500", "8613912345678", 0x91, "24030514070932", 0x08, "00032A0202", "第二", true},
    {"flash 7-bit (0x10)", "0891683108200505F0040D91683119325476F8001042305041709023064676788E0E01",
     "8613800250500", "8613912345678", 0x91, "24030514070932", 0x10, "", "Flash!", true},
    {"7-bit class 0 (0xF0)",
     "0891683108200505F0040D91683119325476F800F042305041709023074376783E07C100", "8613800250500",
     "8613912345678", 0x91, "24030514070932", 0xF0, "", "Class 0", true},
    {"UCS2 class 0 (0x18)", "0891683108200505F0040D91683119325476F80018423050417090230495EA4FE1",
     "8613800250500", "8613912345678", 0x91, "24030514070932", 0x18, "", "闪信", true},
    {"empty message", "0891683108200505F0040D91683119325476F800004230504170902300", "8613800250500",
     "8613912345678", 0x91, "24030514070932", 0x00, "", "", true},
    {"header alone", "0891683108200505F0440D91683119325476F8000042305041709023070500032A020100",
     "8613800250500", "8613912345678", 0x91, "24030514070932", 0x00, "00032A0201", "", true},
    {"7-bit, code 0 eighth", "00040D91683119325476F80000423050417090230861F1985C369F01", "",
     "8613912345678", 0x91, "24030514070932", 0x00, "", "abcdefg@", true},
    {"7-bit, carriage return and line feed", "00040D91683119325476F800004230504170902304E186420C",
     "", "8613912345678", 0x91, "24030514070932", 0x00, "", "a\r\nb", true},
    {"7-bit, national letters and the symbols at 0x24 and 0x40",
     "00040D91683119325476F80000423050417090231105901F14006D41241010240001405D", "",
     "8613912345678", 0x91, "24030514070932", 0x00, "", "é ü £ Ä ¤ ¡ $ @ Ñ", true},
};

}  // namespace CodecTest
