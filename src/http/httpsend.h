#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "http/blocksocket.h"
#include "http/stream.h"

namespace http {

// What a network client connects to and how long it waits.
class TNetClient {
 public:
  TNetClient() = default;
  virtual ~TNetClient() = default;
  TNetClient(const TNetClient&) = delete;
  TNetClient& operator=(const TNetClient&) = delete;

  std::string TargetHost = "127.0.0.1";
  std::string TargetPort = "0";
  std::string IPInterface = "0.0.0.0";
  int32_t Timeout = 5000;  // ms, the bound of every single wait for data
  std::string UserName;
  std::string Password;
};

// How the end of a response body is found (RFC 7230 section 3.3.3).
enum class TTransferMode { ToClose = 0, Identity = 1, Chunked = 2 };

// One blocking HTTP/1.x exchange at a time over a TTCPBlockSocket. Build the request with the
// public fields, call PerformRequest, read Headers, Document, ResultCode and ResultString.
// No redirects, caching or decompression. Used by one thread at a time.
class THTTPSend : public TNetClient {
 public:
  THTTPSend();
  ~THTTPSend() override;

  bool UseTemporaryFile = false;
  std::unique_ptr<TTCPBlockSocket> Sock;
  TTransferMode TransferMode = TTransferMode::ToClose;
  std::string AliveHost;
  std::string AlivePort;
  // Before sending: the request header lines. After a response: the status line(s), the
  // unfolded header lines and one final empty line.
  std::vector<std::string> Headers;
  // The request body before, the response body after an exchange. Always a valid stream.
  std::unique_ptr<TStream> Document;
  std::string MimeType;
  std::string Protocol = "1.0";
  bool KeepAlive = true;
  int32_t KeepAliveTimeout = 300;  // seconds
  bool Status100 = false;
  bool IsNTLM = false;
  std::string ProxyHost;
  std::string ProxyPort = "8080";
  std::string ProxyUser;
  std::string ProxyPass;
  int32_t ResultCode = 500;
  std::string ResultString;
  std::string UserAgent = "Mozilla/4.0 (compatible; quenZOR)";
  std::vector<std::string> Cookies;  // name=value
  int32_t DownloadSize = 0;
  int32_t UploadSize = 0;
  int32_t RangeStart = 0;
  int32_t RangeEnd = 0;
  bool AddPortNumberToHost = true;
  std::string TempFileName;

  // Bounds against hostile or broken peers; 0 turns each off.
  // Body bytes kept at most; when reached, reading stops and what arrived is the body.
  int64_t MaxBodySize = 0;
  // Bytes and lines of one response's status line(s) and header block together; past either
  // the exchange fails as with an over-long line (10055).
  int64_t MaxHeaderBytes = 0;
  int32_t MaxHeaderLines = 0;
  // Milliseconds for the whole exchange, connect included.
  int32_t ExchangeTimeout = 0;

  // Runs one exchange; true when the response was read completely. Raises nothing of its
  // own: a failure to store received bytes outside a chunked body propagates.
  bool PerformRequest(const std::string& method, const std::string& url);
  void ResetResponse();
  void DocumentClear();
  // Makes a new temporary file below TempFolder()/httptmp the Document.
  void SwitchToFileStream();

 private:
  struct TExchange;

  std::string BuildRequestText() const;
  void ParseStatusLine(const std::string& line);
  bool EnsureConnection(bool withTls);
  bool OpenConnection(bool withTls);
  bool ReadBodyToClose();
  bool ReadBodyOfLength(int32_t length);
  bool ReadChunkedBody();
  void SendBodyLogged();
  void CollectCookies();
  void BuildRequestHeaders(const std::string& method, const TExchange& exchange);
  // Its steps: the body's and the client's headers, the connection's and the host's, the
  // request line.
  void AddContentHeaders(const TExchange& exchange, std::vector<std::string>& added) const;
  void AddConnectionHeaders(const TExchange& exchange, std::vector<std::string>& added) const;
  std::string RequestLine(const std::string& method, const TExchange& exchange) const;
  // The steps of PerformRequest, in order.
  TExchange PrepareExchange(const std::string& method, const std::string& url);
  bool SendRequest(TExchange& exchange);
  bool SendWithContinue(TExchange& exchange);
  void ReadStatus(const TExchange& exchange);
  bool ReadHeaders(TExchange& exchange);
  bool ReceiveBody(const std::string& method, TExchange& exchange);
  std::string ReadNonEmptyLine();
  void ReadHeaderBlock(TExchange& exchange);
  bool ReadBody(TExchange& exchange);
  void ForgetConnection();
  int64_t BodyRoom() const;
  bool BoundReached() const;
  bool NoteHeaderLine(size_t bytes);
  bool HeaderBoundReached() const;
  void TakeHeaderLine(std::string line, TExchange& exchange);

  bool m_bodyCut = false;
  int64_t m_headerBytes = 0;
  int32_t m_headerLines = 0;
};

}  // namespace http
