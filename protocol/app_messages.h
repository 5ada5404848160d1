// Application message protocol: the ASCII messages that the device's
// application firmware speaks at 19200 baud, each framed by "^" and "$".
//
// Framing as the program reads it: a message is the characters from a "^"
// to the next "$"; the "^" is never kept, the "$" is. Every "^" restarts
// the message. Bytes before the first "^" are gathered like message
// characters. There is no escape, checksum or line end.
//
// Every operation here uses the one gSerialPort. Nothing here prints.
#pragma once

#include "protocol/device_info.h"

// The commands to the application, each written whole in one WriteBytes.
// The boot loader command is "^BOOTL$" three times in a row.
constexpr char kVersionCommand[] = "^V$";
constexpr int kVersionCommandLength = 3;
constexpr char kBootLoaderCommand[] = "^BOOTL$^BOOTL$^BOOTL$";
constexpr int kBootLoaderCommandLength = 21;
static_assert(sizeof kVersionCommand == kVersionCommandLength + 1, "command length");
static_assert(sizeof kBootLoaderCommand == kBootLoaderCommandLength + 1, "command length");

// Each byte of a message must come within this many ms of the one before.
constexpr int kMessageByteBudgetMs = 2000;
// Buffer size with which the version query reads a message (99 characters
// and the NUL).
constexpr int kVersionMessageSize = 100;

// Family code, PCB revision and option word of a version reply without the
// identity part.
constexpr uint16_t kDefaultFamilyCode = 56;
constexpr uint16_t kDefaultPcbRevision = 1;
constexpr uint32_t kNoOptionWord = 0xFFFFFFFFu;

// Reads one message into `buffer` of `capacity` characters, each byte with
// a budget of kMessageByteBudgetMs. A message longer than capacity - 1
// characters is cut there; the rest stays in the port's input.
// Result:
//   0  a message ending in "$", or capacity - 1 characters of one, is in
//      the buffer, terminated by NUL
//   1  a byte did not arrive in time (or `capacity` is below 2); the buffer
//      content is of no use
int ReadMessage(char* buffer, int capacity);

// Fills `record` from the NUL-terminated text of a message as ReadMessage
// delivers it (no "^", the "$" included):
//   =V "<name>" <major>.<minor>[.<beta>][<letter>][(<remark>)][,<family>,<pcb>,<option hex>]$
// The name is up to 31 characters; the character after its closing quote
// and each separator are skipped whatever they are. The record is written
// as the parse goes; the model name only on success.
// Result:
//   0  parsed; every field, the model name included, is set
//   1  the text does not begin with =V and a blank and a double quote
//   2  the product name is not closed by a double quote within 31
//      characters (or the text ends inside it)
//   3  after the version and the optional parts the text does not stand
//      at "$"
int ParseVersionReply(DeviceInfo* record, const char* text);

// Asks the application for its version ("^V$") unless `listenOnly` is not
// 0, in which case it waits for a version message the application sends by
// itself. Resets the record first (family code 0, PCB revision 0, version
// 0, option word kNoOptionWord, empty product name; the model name is
// kept), then reads messages, passing over the empty message and "+$".
// Result:
//   0  the record holds the device's identity
//   1  no byte came within kMessageByteBudgetMs while a message was
//      awaited, or the first message that counts is no version reply
//   2, 3  as from ParseVersionReply
int QueryVersion(DeviceInfo* record, int listenOnly);
