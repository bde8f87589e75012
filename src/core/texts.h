// Texts the centre writes into the host's message buffer.  The Chinese ones
// are GBK bytes, as the hosts that show them expect.
#pragma once

namespace dtu::text {

// "*****" + "wireless data service centre started, port" (31 bytes, no break)
inline constexpr char kStarted[] =
    "*****\xCE\xDE\xCF\xDF\xCA\xFD\xBE\xDD\xB7\xFE\xCE\xF1\xD6\xD0\xD0\xC4\xD2\xD1\xC6\xF4\xB6\xAF"
    "\xB6\xCB\xBF\xDA";
// "*****" + "wireless data service centre stopped"
inline constexpr char kStopped[] =
    "*****\xCE\xDE\xCF\xDF\xCA\xFD\xBE\xDD\xB7\xFE\xCE\xF1\xD6\xD0\xD0\xC4\xD2\xD1\xCD\xA3\xD6\xB9"
    "\r\n";
// "*****" + "no usable IP address"
inline constexpr char kNoAddress[] =
    "*****\xC3\xBB\xD3\xD0\xBF\xC9\xCA\xB9\xD3\xC3\xB5\xC4IP\xB5\xD8\xD6\xB7\r\n";
// "quit", in the close line
inline constexpr char kQuit[] = "\xCD\xCB\xB3\xF6";

inline constexpr char kNotInitialized[] = "\r\nSystem could not be initialized!\r\n";
inline constexpr char kNoHostName[] = "Error:Coundn't Get Local Host Name\r\n";
inline constexpr char kCantGetHost[] = "\r\nError:Can't Get Host Name\r\n";
inline constexpr char kSocketFailed[] = "\r\nError:socket() Failed\r\n";
inline constexpr char kBindFailed[] = "\r\nError:Bind Server Failed: %d\r\n";
inline constexpr char kInitFailed[] = "\r\nError:Init DSC Server Failed\r\n";
inline constexpr char kStopError[] = "Stop Server Error: %d.\r\n";
inline constexpr char kReadError[] = "Error occurred during read,errorcode:%d\r\n";
inline constexpr char kErrorPacket[] = "Error packet\r\n";

static_assert(sizeof kStarted - 1 == 31, "started text is 31 bytes");

}  // namespace dtu::text
