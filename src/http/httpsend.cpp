#include "http/httpsend.h"

#include <fcntl.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <cstdio>
#include <deque>
#include <filesystem>
#include <optional>
#include <unordered_map>

#include "http/httplog.h"
#include "http/exchangelog.h"
#include "http/urlutil.h"
#include "support/paths.h"
#include "support/posix.h"

namespace http {

namespace {

constexpr int32_t kLargeUploadSize = 65536;  // from here on the body goes out on its own
constexpr int64_t kUploadPiece = 4096;

bool StartsWith(const std::string& text, const char* prefix) { return text.rfind(prefix, 0) == 0; }

bool Contains(const std::string& text, const char* part) {
  return text.find(part) != std::string::npos;
}

// A stable name of the failure's kind for the exchange log.
std::string ErrorTypeName(const std::exception& error) {
  if (dynamic_cast<const std::bad_alloc*>(&error) != nullptr ||
      dynamic_cast<const std::length_error*>(&error) != nullptr) {
    return "EOutOfMemory";
  }
  if (dynamic_cast<const EFCreateError*>(&error) != nullptr) {
    return "EFCreateError";
  }
  if (dynamic_cast<const EWriteError*>(&error) != nullptr) {
    return "EWriteError";
  }
  if (dynamic_cast<const EReadError*>(&error) != nullptr) {
    return "EReadError";
  }
  if (dynamic_cast<const EStreamError*>(&error) != nullptr) {
    return "EStreamError";
  }
  if (dynamic_cast<const ESocketError*>(&error) != nullptr) {
    return "ESocketError";
  }
  if (dynamic_cast<const std::filesystem::filesystem_error*>(&error) != nullptr) {
    return "EInOutError";
  }
  return "Exception";
}

// "yyyymmddhhnnsszzz" of the local time.
std::string LocalTimeStamp() {
  timespec now{};
  clock_gettime(CLOCK_REALTIME, &now);
  tm local{};
  localtime_r(&now.tv_sec, &local);
  char text[64];
  std::snprintf(text, sizeof text, "%04d%02d%02d%02d%02d%02d%03ld", local.tm_year + 1900,
                local.tm_mon + 1, local.tm_mday, local.tm_hour, local.tm_min, local.tm_sec,
                now.tv_nsec / 1000000);
  return text;
}

// Why an exchange ended early: the step and the socket's error, code and our own text.
void LogFailure(const THTTPSend& client, const char* step) {
  qCDebug(lcHttp, "exchange with %s:%s failed at %s: error %d, %s", client.TargetHost.c_str(),
          client.TargetPort.c_str(), step, client.Sock->LastErrorCode(),
          client.Sock->LastErrorText().c_str());
}

void RemoveFile(const std::string& path) {
  if (!path.empty()) {
    unlink(path.c_str());
  }
}

// Bounds every wait of the exchange by ExchangeTimeout while it runs.
class TDeadlineScope {
 public:
  TDeadlineScope(TBlockSocket& socket, int32_t milliseconds) : m_socket(socket) {
    if (milliseconds > 0) {
      m_socket.SetDeadline(TickNow() + static_cast<uint32_t>(milliseconds));
    }
  }
  ~TDeadlineScope() { m_socket.ClearDeadline(); }
  TDeadlineScope(const TDeadlineScope&) = delete;
  TDeadlineScope& operator=(const TDeadlineScope&) = delete;

 private:
  TBlockSocket& m_socket;
};

}  // namespace

struct THTTPSend::TExchange {
  TUrlParts Url;
  std::string Target;
  std::string HostText;
  bool UsingProxy = false;
  bool Sending = false;
  bool WaitFor100 = false;
  bool WithTls = false;
  int32_t BodySize = -1;
  bool CloseAfter = false;
  // The final status line when the 100-continue wait got one instead of an interim reply.
  std::string FinalStatusLine;
};

THTTPSend::THTTPSend() {
  Timeout = 90000;
  TargetPort = "80";
  Document = std::make_unique<TMemoryStream>();
  Sock = std::make_unique<TTCPBlockSocket>();
  Sock->ConvertLineEnd = true;
  // Asked for as the socket is made; it has no handle yet, so both wait in the queue, and
  // the close that opens every connection drops them: the system's own sizes apply.
  Sock->SetDelayedOption({TSocketOptionKind::RecvBuff, 65536, false});
  Sock->SetDelayedOption({TSocketOptionKind::SendBuff, 65536, false});
  ResetResponse();
}

THTTPSend::~THTTPSend() {
  Sock.reset();
  Document.reset();
  Cookies.clear();
  Headers.clear();
  RemoveFile(TempFileName);
}

void THTTPSend::ResetResponse() {
  RangeStart = 0;
  RangeEnd = 0;
  Document = std::make_unique<TMemoryStream>();
  Headers.clear();
  MimeType = "text/html";
}

void THTTPSend::DocumentClear() {
  if (Document) {
    Document->SetSize(0);
    Document.reset();
  }
  RemoveFile(TempFileName);
  TempFileName.clear();
  Document = std::make_unique<TMemoryStream>();
}

void THTTPSend::SwitchToFileStream() {
  // The Document stays a valid stream whatever fails below.
  Document = std::make_unique<TMemoryStream>();
  RemoveFile(TempFileName);
  TempFileName.clear();
  const std::string folder = support::TempFolder() + "httptmp";
  std::filesystem::create_directories(folder);
  // mkstemps makes the file with O_EXCL, mode 0600, under a name nobody could plant a file or
  // link at beforehand; the time stamp keeps the names in creation order.
  std::string path = folder + "/" + LocalTimeStamp() + "XXXXXX.tmp";
  int fd = support::RetryOnEintr([&] { return mkostemps(path.data(), 4, O_CLOEXEC); });
  if (fd < 0) {
    throw EFCreateError("Cannot create file \"" + path + "\". " + std::strerror(errno));
  }
  TempFileName = path;
  Document = std::make_unique<TFileStream>(path, fd);
}

std::string THTTPSend::BuildRequestText() const {
  if (Protocol == "0.9") {
    return Headers.empty() ? std::string("\r\n") : Headers.front() + "\r\n";
  }
  std::string text;
  for (const std::string& line : Headers) {
    text += line;
    text += "\r\n";
  }
  return text;
}

void THTTPSend::ParseStatusLine(const std::string& line) {
  std::string afterVersion = Trim(TextAfter(line, " "));
  int32_t code = 0;
  ResultCode = ParseDecimal32(Trim(TextBefore(afterVersion, " ")), code) ? code : 0;
  ResultString = Trim(TextAfter(afterVersion, " "));
  if (ResultString == afterVersion) {
    ResultString.clear();
  }
}

void THTTPSend::BuildRequestHeaders(const std::string& method, const TExchange& exchange) {
  // Collected in the order of insertion; each one goes to the top of Headers, so the list
  // ends up in the reverse order, above whatever the caller put there.
  std::vector<std::string> added;
  AddContentHeaders(exchange, added);
  AddConnectionHeaders(exchange, added);
  added.push_back(RequestLine(method, exchange));
  Headers.insert(Headers.begin(), added.rbegin(), added.rend());
}

void THTTPSend::AddContentHeaders(const TExchange& exchange,
                                  std::vector<std::string>& added) const {
  if (exchange.WaitFor100) {
    added.push_back("Expect: 100-continue");
  }
  if (exchange.Sending) {
    added.push_back("Content-Length: " + std::to_string(Document->Size()));
    if (!MimeType.empty()) {
      added.push_back("Content-Type: " + MimeType);
    }
  }
  if (!UserAgent.empty()) {
    added.push_back("User-Agent: " + UserAgent);
  }
  if (RangeStart > 0 || RangeEnd > 0) {
    std::string range = "Range: bytes=" + std::to_string(RangeStart) + "-";
    if (RangeEnd >= RangeStart) {
      range += std::to_string(RangeEnd);
    }
    added.push_back(range);
  }
  if (!Cookies.empty()) {
    std::string cookie = "Cookie: ";
    for (size_t i = 0; i < Cookies.size(); ++i) {
      cookie += (i > 0 ? "; " : "") + Cookies[i];
    }
    added.push_back(cookie);
  }
}

void THTTPSend::AddConnectionHeaders(const TExchange& exchange,
                                     std::vector<std::string>& added) const {
  std::string prefix = exchange.UsingProxy ? "Proxy-" : "";
  if (KeepAlive) {
    added.push_back(prefix + "Connection: keep-alive");
    added.push_back("Keep-Alive: " + std::to_string(KeepAliveTimeout));
  } else {
    added.push_back(prefix + "Connection: close");
  }
  if (!exchange.Url.User.empty() && !IsNTLM) {
    added.push_back("Authorization: Basic " +
                    Base64Encode(exchange.Url.User + ":" + exchange.Url.Password));
  }
  if (exchange.UsingProxy && !ProxyUser.empty()) {
    added.push_back("Proxy-Authorization: Basic " + Base64Encode(ProxyUser + ":" + ProxyPass));
  }
  if (AddPortNumberToHost && exchange.Url.Port != "80") {
    added.push_back("Host: " + exchange.HostText + ":" + exchange.Url.Port);
  } else {
    added.push_back("Host: " + exchange.HostText);
  }
}

std::string THTTPSend::RequestLine(const std::string& method, const TExchange& exchange) const {
  std::string target = exchange.Target;
  if (exchange.UsingProxy) {
    target = exchange.Url.Protocol + "://" + exchange.HostText + ":" + exchange.Url.Port + target;
  }
  if (target == "/*") {
    target = "*";  // the asterisk form of RFC 7230 section 5.3.4
  }
  std::string requestLine = UpperCase(method) + " " + target;
  if (Protocol != "0.9") {
    requestLine += " HTTP/" + Protocol;
  }
  return requestLine;
}

bool THTTPSend::EnsureConnection(bool withTls) {
  if (!Sock->HasHandle()) {
    return OpenConnection(withTls);
  }
  // An idle keep-alive connection has nothing to read; one the peer has closed reads as
  // readable (RFC 7230 section 6.3: the server may close an idle connection at any time).
  if (AliveHost == TargetHost && AlivePort == TargetPort && !Sock->WaitReadable(0)) {
    return true;
  }
  return OpenConnection(withTls);
}

bool THTTPSend::OpenConnection(bool withTls) {
  Sock->CloseConnection();
  Sock->BindLocal(IPInterface, "0");
  if (Sock->LastErrorCode() != 0) {
    return false;
  }
  if (withTls && !ProxyHost.empty()) {
    // Through a proxy an https exchange needs a CONNECT tunnel, which this program does not
    // build: it fails before any connect, as a refused tunnel does.
    Sock->RecordError(kWsaSysnotready);
    return false;
  }
  Sock->ConnectPeer(TargetHost, TargetPort);
  if (Sock->LastErrorCode() != 0) {
    return false;
  }
  if (withTls) {
    Sock->StartTls();
    if (Sock->LastErrorCode() != 0) {
      return false;
    }
  }
  AliveHost = TargetHost;
  AlivePort = TargetPort;
  return true;
}

int64_t THTTPSend::BodyRoom() const {
  if (MaxBodySize <= 0) {
    return INT64_MAX;
  }
  return std::max<int64_t>(0, MaxBodySize - Document->Size());
}

bool THTTPSend::BoundReached() const { return MaxBodySize > 0 && BodyRoom() == 0; }

bool THTTPSend::HeaderBoundReached() const {
  return (MaxHeaderBytes > 0 && m_headerBytes > MaxHeaderBytes) ||
         (MaxHeaderLines > 0 && m_headerLines > MaxHeaderLines);
}

// Counts one status or header line against the bounds of the response's head; false (with
// the error recorded) once the head has grown past either.
bool THTTPSend::NoteHeaderLine(size_t bytes) {
  m_headerBytes += static_cast<int64_t>(bytes);
  ++m_headerLines;
  if (HeaderBoundReached()) {
    Sock->RecordError(kWsaEnobufs);
    return false;
  }
  return true;
}

// Skips empty lines: the CRLF that ends a chunk's data reads as one before the next
// chunk-size line, and stray ones may precede a status line (RFC 7230 section 3.5 asks for
// that robustness). Empty, with the error recorded, when the socket fails first.
std::string THTTPSend::ReadNonEmptyLine() {
  std::string line;
  do {
    line = Sock->ReadLine(Timeout);
  } while (line.empty() && Sock->LastErrorCode() == 0);
  return line;
}

bool THTTPSend::ReadBodyToClose() {
  while (true) {
    std::string piece = Sock->ReadAvailable(Timeout);
    if (Sock->LastErrorCode() != 0) {
      break;
    }
    int64_t room = BodyRoom();
    if (static_cast<int64_t>(piece.size()) >= room) {
      Document->WriteBuffer(piece.data(), room);
      m_bodyCut = true;
      return true;
    }
    WriteStreamText(*Document, piece);
  }
  // RFC 7230 section 3.3.3 item 7: without a length, the close ends the body.
  if (Sock->LastErrorCode() == kWsaEconnreset) {
    Sock->ClearError();
    return true;
  }
  return false;
}

bool THTTPSend::ReadBodyOfLength(int32_t length) {
  if (length < 1) {
    return true;
  }
  DownloadSize = length;
  int64_t wanted = std::min<int64_t>(length, BodyRoom());
  Sock->ReceiveToStream(*Document, Timeout, wanted);
  Document->Seek(0, TSeekOrigin::End);
  if (Sock->LastErrorCode() != 0) {
    return false;
  }
  if (wanted < length) {
    m_bodyCut = true;
  }
  return true;
}

bool THTTPSend::ReadChunkedBody() {
  while (true) {
    std::string line = ReadNonEmptyLine();
    if (Sock->LastErrorCode() != 0) {
      break;
    }
    // RFC 7230 section 4.1: chunk-size [ chunk-ext ] CRLF.
    std::string sizeText = Trim(TextBefore(Trim(TextBefore(line, " ")), ";"));
    int32_t size = 0;
    if (!ParseHex32(sizeText, size)) {
      size = 0;
    }
    if (size == 0) {
      break;
    }
    try {
      if (!ReadBodyOfLength(size)) {
        break;
      }
    } catch (const std::exception& error) {
      LogExchange("ERR: " + ErrorTypeName(error) + ": " + error.what() +
                  "; Size=" + std::to_string(size));
      continue;
    }
    if (m_bodyCut) {
      break;
    }
  }
  return Sock->LastErrorCode() == 0;
}

void THTTPSend::SendBodyLogged() {
  LogExchange("SendBuffer BEGIN");
  Document->SetPosition(0);
  int64_t sent = 0;
  char piece[kUploadPiece];
  while (sent < Document->Size()) {
    int64_t count = Document->Read(piece, kUploadPiece);
    if (count < 1) {
      break;  // a stream that yields nothing more would otherwise loop for ever
    }
    Sock->SendBuffer(piece, static_cast<int32_t>(count));
    sent += count;
    LogExchange("SendBuffer " + std::to_string(sent));
  }
  LogExchange("SendBuffer END");
}

void THTTPSend::CollectCookies() {
  // Entries are found by lower-cased name through an index and removals leave a gap that is
  // closed at the end, so a reply with many thousands of cookies costs linear time. Each
  // name keeps the positions of its entries in list order: the first one is the one set.
  std::vector<std::optional<std::string>> entries(Cookies.begin(), Cookies.end());
  std::unordered_map<std::string, std::deque<size_t>> byName;
  for (size_t i = 0; i < Cookies.size(); ++i) {
    if (Cookies[i].find('=') != std::string::npos) {
      byName[LowerCase(TextBefore(Cookies[i], "="))].push_back(i);
    }
  }
  bool changed = false;
  for (const std::string& entry : Headers) {
    if (!StartsWith(LowerCase(entry.substr(0, 11)), "set-cookie:")) {
      continue;
    }
    // RFC 6265 section 5.2: the first name=value pair; the attributes are not kept.
    std::string pair = Trim(TextBefore(TextAfter(entry, ":"), ";"));
    std::string name = Trim(TextBefore(pair, "="));
    std::string value = Trim(TextAfter(pair, "="));
    std::deque<size_t>& positions = byName[LowerCase(name)];
    changed = true;
    if (value.empty()) {
      if (!positions.empty()) {
        entries[positions.front()].reset();
        positions.pop_front();
      }
    } else if (!positions.empty()) {
      entries[positions.front()] = name + "=" + value;
    } else {
      entries.emplace_back(name + "=" + value);
      positions.push_back(entries.size() - 1);
    }
  }
  if (!changed) {
    return;
  }
  Cookies.clear();
  for (std::optional<std::string>& entry : entries) {
    if (entry) {
      Cookies.push_back(std::move(*entry));
    }
  }
}

void THTTPSend::ForgetConnection() {
  Sock->CloseConnection();
  AliveHost.clear();
  AlivePort.clear();
}

void THTTPSend::ReadStatus(const TExchange& exchange) {
  ResetResponse();
  TransferMode = TTransferMode::ToClose;
  if (!exchange.FinalStatusLine.empty()) {
    Headers.push_back(exchange.FinalStatusLine);
    return;
  }
  // Interim 1xx replies (RFC 7231 section 6.2) are skipped; their status lines stay.
  do {
    std::string line = ReadNonEmptyLine();
    if (StartsWith(UpperCase(line), "HTTP/")) {
      if (!NoteHeaderLine(line.size())) {
        break;
      }
      Headers.push_back(line);
      ParseStatusLine(line);
    } else {
      // An HTTP/0.9-style reply: no status line, its first line is body data.
      WriteStreamText(*Document, line + "\r\n");
      ResultCode = 0;
    }
  } while (Sock->LastErrorCode() == 0 && ResultCode == 100);
}

namespace {

// A raw line that continues the header line before it (obs-fold, RFC 7230 section 3.2.4, and
// the looser starts that old servers send): it begins with a blank, a tab, a double quote,
// ":" or "=".
bool IsContinuation(const std::string& line) {
  return !line.empty() && (line.front() == ' ' || line.front() == '\t' || line.front() == '"' ||
                           line.front() == ':' || line.front() == '=');
}

}  // namespace

// Adds one logical header line to Headers and notes what it says about the body and the
// connection.
void THTTPSend::TakeHeaderLine(std::string line, TExchange& exchange) {
  size_t end = line.size();
  while (end > 0 && static_cast<unsigned char>(line[end - 1]) <= 32) {
    --end;
  }
  line.resize(end);
  const std::string upper = UpperCase(line);
  if (StartsWith(upper, "CONTENT-LENGTH:")) {
    int32_t size = 0;
    exchange.BodySize = ParseDecimal32(Trim(TextAfter(line, " ")), size) ? size : -1;
    if (exchange.BodySize != -1 && TransferMode == TTransferMode::ToClose) {
      TransferMode = TTransferMode::Identity;
    }
  } else if (StartsWith(upper, "CONTENT-TYPE:")) {
    MimeType = Trim(TextAfter(line, " "));
  } else if (StartsWith(upper, "TRANSFER-ENCODING:") &&
             Contains(Trim(TextAfter(upper, " ")), "CHUNKED")) {
    // RFC 7230 section 3.3.3 item 3: chunked wins over a Content-Length.
    TransferMode = TTransferMode::Chunked;
  }
  const char* connectionHeader = exchange.UsingProxy ? "PROXY-CONNECTION:" : "CONNECTION:";
  if (StartsWith(upper, connectionHeader) && Contains(upper, "CLOSE")) {
    exchange.CloseAfter = true;
  }
  Headers.push_back(std::move(line));
}

// Reads the header block up to its empty line, joining continuation lines as they come, so
// each line is held once. The block ends with an empty entry however it ends: its empty line,
// a socket error, or the head's bounds.
void THTTPSend::ReadHeaderBlock(TExchange& exchange) {
  std::string pending;
  bool havePending = false;
  while (true) {
    std::string line = Sock->ReadLine(Timeout);
    if (Sock->LastErrorCode() != 0 || line.empty() || !NoteHeaderLine(line.size())) {
      break;
    }
    if (havePending && IsContinuation(line)) {
      std::replace(line.begin(), line.end(), '\t', ' ');
      pending += " " + Trim(line);
      continue;
    }
    if (havePending) {
      TakeHeaderLine(std::move(pending), exchange);
    }
    pending = std::move(line);
    havePending = true;
  }
  if (havePending) {
    TakeHeaderLine(std::move(pending), exchange);
  }
  Headers.emplace_back();
}

bool THTTPSend::ReadBody(TExchange& exchange) {
  if (UseTemporaryFile) {
    // Bytes of a reply without status line are already body data: they move along.
    Document->SetPosition(0);
    std::string kept = ReadStreamText(*Document, Document->Size());
    SwitchToFileStream();
    WriteStreamText(*Document, kept);
  }
  switch (TransferMode) {
    case TTransferMode::ToClose: return ReadBodyToClose();
    // The body's room grows as its bytes arrive (see ReceiveToStream), so a Content-Length
    // that is announced but never sent claims no memory.
    case TTransferMode::Identity: return ReadBodyOfLength(exchange.BodySize);
    case TTransferMode::Chunked: return ReadChunkedBody();
  }
  return false;
}

THTTPSend::TExchange THTTPSend::PrepareExchange(const std::string& method, const std::string& url) {
  ResultCode = 500;
  ResultString.clear();
  DownloadSize = 0;
  UploadSize = 0;
  m_bodyCut = false;
  m_headerBytes = 0;
  m_headerLines = 0;

  TExchange exchange;
  exchange.Target = SplitUrl(url, exchange.Url);
  if (exchange.Url.User.empty()) {
    exchange.Url.User = UserName;
    exchange.Url.Password = Password;
  }
  exchange.WithTls = UpperCase(exchange.Url.Protocol) == "HTTPS";
  // An https exchange would go through the proxy in a tunnel (see OpenConnection), a plain
  // one is sent to the proxy itself.
  exchange.UsingProxy = !ProxyHost.empty() && !exchange.WithTls;
  exchange.Sending = Document->Size() > 0;
  exchange.WaitFor100 = Status100 && exchange.Sending && Protocol == "1.1";
  exchange.HostText =
      IsIPv6Literal(exchange.Url.Host) ? "[" + exchange.Url.Host + "]" : exchange.Url.Host;
  BuildRequestHeaders(method, exchange);

  TargetHost = exchange.UsingProxy ? ProxyHost : exchange.Url.Host;
  TargetPort = exchange.UsingProxy ? ProxyPort : exchange.Url.Port;
  if (!Headers.back().empty()) {
    Headers.emplace_back();
  }
  return exchange;
}

// RFC 7231 section 5.1.1: sends the head, waits for the interim reply, then sends the body
// when it is a 1xx. Any other reply is the final one; its status line is kept for
// ReadStatus and its header lines are skipped.
bool THTTPSend::SendWithContinue(TExchange& exchange) {
  Sock->SendData(BuildRequestText());
  if (Sock->LastErrorCode() != 0) {
    return false;
  }
  std::string line = ReadNonEmptyLine();
  ParseStatusLine(line);
  exchange.FinalStatusLine = line;
  do {
    line = Sock->ReadLine(Timeout);
  } while (!line.empty() && Sock->LastErrorCode() == 0);
  if (ResultCode >= 100 && ResultCode < 200) {
    exchange.FinalStatusLine.clear();
    UploadSize = static_cast<int32_t>(std::min<int64_t>(Document->Size(), INT32_MAX));
    SendBodyLogged();
  }
  return true;
}

bool THTTPSend::SendRequest(TExchange& exchange) {
  Document->SetPosition(0);
  int64_t documentSize = Document->Size();
  if (exchange.WaitFor100) {
    if (!SendWithContinue(exchange)) {
      return false;
    }
  } else if (exchange.Sending && documentSize >= kLargeUploadSize) {
    Sock->SendData(BuildRequestText());
    UploadSize = static_cast<int32_t>(std::min<int64_t>(documentSize, INT32_MAX));
    SendBodyLogged();
  } else if (exchange.Sending) {
    std::string request = BuildRequestText() + ReadStreamText(*Document, documentSize);
    UploadSize = static_cast<int32_t>(std::min<size_t>(request.size(), INT32_MAX));
    Sock->SendData(request);
  } else {
    Sock->SendData(BuildRequestText());
  }
  return Sock->LastErrorCode() == 0;
}

bool THTTPSend::ReadHeaders(TExchange& exchange) {
  exchange.CloseAfter = Protocol != "1.1";
  if (!Headers.empty() && !HeaderBoundReached()) {
    ReadHeaderBlock(exchange);
  }
  if (Sock->LastErrorCode() != 0) {
    // What is left of this response on the connection is unknown: it cannot carry another.
    ForgetConnection();
    return false;
  }
  return true;
}

bool THTTPSend::ReceiveBody(const std::string& method, TExchange& exchange) {
  bool result = true;
  bool receiving = method != "HEAD" && ResultCode != 204 && ResultCode != 304;
  if (receiving) {
    result = ReadBody(exchange);
  }
  Document->SetPosition(0);
  if (exchange.CloseAfter || m_bodyCut || !result) {
    ForgetConnection();
  }
  CollectCookies();
  return result;
}

bool THTTPSend::PerformRequest(const std::string& method, const std::string& url) {
  TDeadlineScope deadline(*Sock, ExchangeTimeout);
  TExchange exchange = PrepareExchange(method, url);
  if (!EnsureConnection(exchange.WithTls)) {
    LogFailure(*this, "connect");
    AliveHost.clear();
    AlivePort.clear();
    return false;
  }
  if (!SendRequest(exchange)) {
    LogFailure(*this, "send");
    return false;
  }
  ReadStatus(exchange);
  const bool statusRead = Sock->LastErrorCode() == 0;
  if (!ReadHeaders(exchange)) {
    LogFailure(*this, statusRead ? "headers" : "status line");
    return false;
  }
  if (!ReceiveBody(method, exchange)) {
    LogFailure(*this, "body");
    return false;
  }
  return true;
}

}  // namespace http
