#pragma once
// One printer's device service on a loopback address, for tests and for
// trying the client without hardware: the XML message channel on TCP 8009 and
// TLS 8143, and the HTTP and HTTPS side (SOAP status request, JSON device
// list, system version and port list). A control API lets a test change any
// answer, shape the bytes on the wire and break the link at chosen moments;
// everything that arrives is recorded with its time.
//
// The emulator is an independent peer: it reads and writes the protocol with
// its own code (pugixml for reading) and shares nothing with the client.
// Only loopback addresses (127.0.0.0/8) are accepted.

#include <openssl/ssl.h>

#include <chrono>
#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <vector>

namespace service_emulator {

// ---- TLS identity ----------------------------------------------------------
// An EC P-256 key made once per process and a self-signed certificate for the
// address (CN = the address, valid one day), all in memory. The pointers stay
// valid for the life of the process; callers must not free them.
struct TlsIdentity {
  EVP_PKEY* key = nullptr;
  X509* certificate = nullptr;
  std::string certificatePem;  // the certificate in PEM form
};
const TlsIdentity& tlsIdentity(const std::string& address);
// A new server context with that identity (the caller frees it with
// SSL_CTX_free); null when OpenSSL fails. Every emulator uses one of these for
// both TLS 8143 and HTTPS; a test that needs a bare TLS acceptor can use it too.
SSL_CTX* newServerContext(const std::string& address);

// ---- Options and records ---------------------------------------------------
struct Options {
  std::string address = "127.0.0.10";
  uint16_t plainPort = 8009;  // the client has no other ports
  uint16_t tlsPort = 8143;
  uint16_t httpPort = 0;  // 0: any free port (read it back with httpPort())
  uint16_t httpsPort = 0;
  bool http = true;  // serve HTTP and HTTPS
  // Records kept; older ones are dropped.
  size_t logLimit = 100000;
  // A long-running program keeps no records (it prints them through trace).
  bool keepNoLog = false;
  // Called on the emulator's thread for every record (the program prints them);
  // must not call back into the emulator.
  std::function<void(const std::string& line)> trace;
};

// A device the service offers. The type word is the one "open_device" names
// ("type_printer", "type_hybrid_printer", "type_display", "type_keyboard",
// "type_scanner", "type_simple_serial").
struct Device {
  std::string type = "type_printer";
  // Status word of the SOAP reply and of job results: 0x2 is a printer that
  // printed and is online, cover closed, paper present.
  uint32_t status = 0x2;
  int battery = 0;
  std::string model = "TL-M30";  // modelName of the device list
};

enum class Transport { Plain, Tls };

// One message on the channel, either way.
struct Message {
  std::chrono::steady_clock::time_point when;
  int client = 0;            // accept serial of the connection: 1, 2, ...
  bool fromService = false;  // sent by the emulator
  Transport transport = Transport::Plain;
  std::string raw;   // the bytes, the terminating NUL included
  std::string root;  // root element; "" when the message did not parse
  std::string type;  // text of the first "type" element, or ""
  std::string kind;  // root, or the type for device_data and commbox_data
};

// One HTTP request as it arrived.
struct HttpRequest {
  std::chrono::steady_clock::time_point when;
  bool tls = false;
  std::string requestLine;  // without CR LF
  std::string method, target, path;
  std::map<std::string, std::string> query;                  // decoded only by splitting at & and =
  std::vector<std::pair<std::string, std::string>> headers;  // in order, as sent
  std::string body;
  std::string raw;  // head and body exactly as read
};

// ---- Control ---------------------------------------------------------------
// Changes the emulator's next reply of one kind. Kinds are the request's root
// element ("admin_info", "open_device", "close_device", "disconnect",
// "reconnect", "open_commbox", "close_commbox"), the type of a "device_data" or
// "commbox_data" request ("print", "display", "getcommhistory", "send",
// "clearbuffer", "slipwaitinsertion", "eject", "micrread", ...), or "connect"
// for the message sent on accept. Print and display jobs are answered with
// "onxmlresult", the hybrid printer's operations with an "onreceive" event
// whose eventtype is the request's type (the MICR text nested in micrread's).
struct ReplyOverride {
  std::optional<std::string> code;      // the "code" text; "" leaves the element out
  std::optional<bool> success;          // "success" of job results
  std::optional<uint32_t> status;       // status word of job results
  std::optional<std::string> clientId;  // "connect": this id instead of "C<n>"
  std::optional<std::string> raw;       // the whole reply text (a NUL is added)
  std::chrono::milliseconds delay{0};   // sent this long after the request
  bool drop = false;                    // no reply at all
  bool duplicate = false;               // the reply twice
  // Close the link right after the reply (or instead of it, with drop). A
  // "disconnect" reply always closes after it; a dropped one closes only so.
  bool closeAfter = false;
};

// How a listener treats the connections it accepts.
enum class AcceptMode {
  Normal,
  // Accept, never read or write (on TLS: never handshake). Such a connection
  // counts as connected until the emulator stops; its close goes unnoticed.
  Silent,
  CloseOnAccept,  // accept and close at once
  ResetOnAccept,  // accept and reset at once
};

// The next HTTP reply(ies) for requests whose path ends with pathSuffix (""
// matches every path).
struct HttpOverride {
  int status = 200;                 // 302 carries a Location to the HTTPS port, 500 an error page
  std::optional<std::string> body;  // replaces the normal body
  size_t bodySize = 0;              // > 0: a body of this many 'x' (oversized replies)
  std::chrono::milliseconds delay{0};  // before the head goes out
  bool chunked = false;                // Transfer-Encoding: chunked, chunks of chunkSize
  size_t chunkSize = 16;
  bool noContentLength = false;        // neither Content-Length nor chunks: the close ends it
  std::vector<size_t> splits;          // body written in pieces at these offsets...
  std::chrono::milliseconds pause{0};  // ...with this pause before each piece
  bool silent = false;                 // read the request, never answer, keep the link
  bool closeWithoutReply = false;
  std::optional<std::string> rawReply;  // the whole reply bytes, sent as given
  int count = 1;                        // replies it applies to; -1 for every reply from now on
};

// One SOAP status answer queued for a device id.
struct StatusAnswer {
  uint32_t status = 0;
  std::string code;  // "" leaves the attribute empty
  bool success = true;
  int battery = 0;
  bool omitResponse = false;  // a well-formed envelope without a "response" element
};

class ServiceEmulator {
 public:
  explicit ServiceEmulator(Options options = {});
  ~ServiceEmulator();
  ServiceEmulator(const ServiceEmulator&) = delete;
  ServiceEmulator& operator=(const ServiceEmulator&) = delete;

  // Binds every port and starts the emulator's thread; false (with a reason)
  // when the address is not loopback or a port cannot be bound.
  bool start(std::string* error = nullptr);
  void stop();

  const Options& options() const { return options_; }
  uint16_t httpPort() const;   // the bound HTTP port
  uint16_t httpsPort() const;  // the bound HTTPS port

  // ---- Configuration (any time) ----
  // Devices by id; the default is one printer "local_printer".
  void setDevice(const std::string& id, Device device);
  void removeDevice(const std::string& id);
  void setAdmin(const std::string& name, const std::string& location);
  // Units of getSystemVersion ("1" or "0" each).
  void setUnits(bool endorsement, bool validation, bool micr);
  // Queues SOAP status answers for a device id; each request takes the next,
  // then the device's own status is answered.
  void queueStatus(const std::string& deviceId, StatusAnswer answer);
  void overrideNextReply(const std::string& kind, ReplyOverride override);
  void clearOverrides();
  void setAcceptMode(Transport transport, AcceptMode mode);
  // Closes (refuse) or reopens the listener of a transport: while refused,
  // connects are answered with a reset.
  bool setRefusing(Transport transport, bool refusing);
  // Fills the listener's accept queue and stops accepting, so that new
  // connects never complete; false restores it.
  bool setBacklogFull(Transport transport, bool full);
  // Stop (or resume) reading every channel client, so that their sends back up.
  void setReading(bool reading);
  void overrideHttp(const std::string& pathSuffix, HttpOverride override);

  // ---- Acting on a connected client (0: the newest one still connected) ----
  // Sends bytes as given (no NUL added), in pieces ending at the given offsets
  // with a pause before each later piece. On TLS each piece is one write of
  // the library, so a piece up to 16 KiB is one record.
  bool sendRaw(int client, std::string bytes, std::vector<size_t> splits = {},
               std::chrono::milliseconds pause = std::chrono::milliseconds(0));
  // Sends one message: the text plus one NUL.
  bool sendMessage(int client, const std::string& text);
  // Takes the next data id of the client's session (the counter moves on), for
  // an event the test builds itself; 0 when no such client is connected.
  int takeDataId(int client);
  // Sends a device event with the session's next data id:
  // "<device_data><sequence>S</sequence><device_id>ID</device_id><data_id>N</data_id>
  //  <data><type>TYPE</type>" + fields + "</data></device_data>" plus a NUL.
  // fields is XML the test writes (escaped by the test). Returns the data id,
  // 0 when no such client is connected.
  int sendDeviceEvent(int client, const std::string& deviceId, const std::string& type,
                      const std::string& fields, int sequence = 0);
  // The accept serial of the newest connected client, 0 when none.
  int newestClient() const;
  bool closeClient(int client);  // orderly close (FIN)
  bool resetClient(int client);  // abortive close (RST)

  // ---- What happened ----
  std::vector<Message> messages() const;  // both directions, in order
  // Messages from clients whose kind is the given one ("" all).
  std::vector<Message> received(const std::string& kind = "") const;
  std::vector<HttpRequest> httpRequests() const;
  int accepted() const;          // channel connections accepted so far
  int connectedClients() const;  // channel connections still open
  // The client id given to the accept with that serial ("C1", ...).
  std::string clientId(int client) const;
  // Device ids open in the session of that client id, and its message boxes.
  std::vector<std::string> openDevices(const std::string& clientId) const;
  std::vector<std::string> openBoxes(const std::string& clientId) const;
  void clearLog();

  // Waits (at most limit) until count messages of the kind arrived from
  // clients, count accepts happened, exactly count clients are connected, or
  // count HTTP requests arrived.
  bool waitForReceived(const std::string& kind, size_t count,
                       std::chrono::milliseconds limit) const;
  bool waitForAccepted(int count, std::chrono::milliseconds limit) const;
  bool waitForConnected(int count, std::chrono::milliseconds limit) const;
  bool waitForHttpRequests(size_t count, std::chrono::milliseconds limit) const;
  // Waits until test (called under the emulator's lock with a snapshot of the
  // messages) holds.
  bool waitFor(const std::function<bool(const std::vector<Message>&)>& test,
               std::chrono::milliseconds limit) const;

  class Impl;

 private:
  Options options_;
  std::unique_ptr<Impl> impl_;
};

}  // namespace service_emulator
