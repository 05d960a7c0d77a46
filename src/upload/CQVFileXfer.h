#pragma once

#include <cstdint>
#include <functional>
#include <string>
#include <vector>

namespace qv {

// What the uploads of this process came to so far, for the run's closing report.
// Every TransferFile call counts exactly once: in files_sent when the uploader ran and
// ended with status 0, otherwise in sends_failed (the address not set, the uploader
// missing or failing, or a failure inside TransferFile before the upload ended).
struct UploadCounters {
  uint64_t files_sent = 0;
  uint64_t sends_failed = 0;
  uint64_t bytes_sent = 0;  // the sizes of the files delivered
};

// Takes the place of the upload in a dry run: gets each file to send (a full path, still
// in place) and its import rule. The file then counts as delivered.
using DryRunSink = std::function<void(const std::string& file, const std::string& imp_rule)>;

// Hands produced files to the receiving server: an HTTP POST of the file's bytes to the
// upload address (setting 1 of the export settings) with the query keys ImpID and FN,
// and an Idempotency-Key header (IdempotencyKey). By default the uploader program
// "upload.exe" in the program folder sends it, run through the process-wide
// platform::ProcessRunner and waited for. With the registry value "Uploader"="builtin"
// under HKEY_LOCAL_MACHINE\SOFTWARE\Tolvane the built-in sender sends the same request
// from this process instead, over connections kept for the whole process; it checks
// the server's certificate only when "UploaderVerifyCertificate" there is a non-zero
// number, against "UploaderCAFile" when set (SendOptionsFromRegistry). Both go
// through the process's UploadQueue, which tries passing faults again and stops the
// run's sending when the address cannot be reached. Progress and
// failures go to the trace routine TraceEvent; neither curl's nor upload.exe's own
// messages reach standard error. Nothing throws.
class CQVFileXfer {
 public:
  // Move each file away after its upload: into the folder "LastTx" beside it when it
  // was delivered, into "Unsent" beside it when it was not, so that an undelivered
  // file is kept and never taken for one that went out.
  bool MoveToLastTx = false;

  // Uploads `strFileToTransfer` (a full path) for the import rule `strImpRuleFolder`.
  // True when the file was delivered: the server answered 2xx (the uploader ended with
  // status 0). Without an upload address nothing is sent, the file stays where it is
  // and the result is false. A failed upload is traced once, after its last try, as a
  // failure naming the file, the exit status (the built-in sender gives the status curl
  // gives for the same failure) with its meaning, the rule, the address, the HTTP status
  // or the reason, and the tries; a failure of the connection only once the server
  // answers again or the run ends (EndRun).
  bool TransferFile(const std::string& strFileToTransfer, const std::string& strImpRuleFolder);

  // As TransferFile, without waiting for the upload: `done` gets whether the file was
  // delivered once its upload ended and the file was moved, from inside a later
  // SendLater, TransferFile or WaitForSends call of this thread (or at once). `done`
  // must not call back into CQVFileXfer. With "UploaderConnections" above 1 and the
  // built-in sender, up to that many uploads run at once; a failure that may pass is
  // tried again ("UploaderRetries") and the run stops sending after
  // "UploaderGiveUpAfter" connection failures in a row (see EndRun).
  void SendLater(const std::string& file, const std::string& imp_rule,
                 std::function<void(bool delivered)> done);

  // Runs the uploads started: until every one ended (`all`), else for a while (until at
  // least one moved on, or a tenth of a second). False when none was running.
  static bool WaitForSends(bool all);

  // How many uploads may run at once in this run: "UploaderConnections" with the
  // built-in sender, else 1.
  static int TransfersInFlight();

  // Whether this run stopped sending: the upload address failed to connect too often
  // in a row. Files given to send meanwhile wait, undelivered, for the next run.
  static bool SendingStopped();

  // Logs `message` as a warning about what failed uploads left undone; while failures
  // of the connection wait to be reported it waits with them, and when the run stops
  // sending it is only information: the run's one line says it all.
  static void WarnUnlessSendingStops(const std::string& message);

  // Ends the run's uploads: waits for every one, then, when the run stopped sending,
  // reports it as one warning naming the upload address, the reason and how many files
  // wait. The registry values of the sending are read once a run: the next upload
  // starts a new run and reads them again.
  static void EndRun();

  // Runs the uploader with `argv` and waits until it has ended. `sCommand` is the same
  // command as one line of text, which failure reports show. Returns the exit status,
  // or -1 when the program could not be started or did not end normally (traced as
  // ".RunExe, sCommand=" and the command line).
  int RunExe(const std::string& sCommand, const std::vector<std::string>& argv);

  // The upload address from the export settings; empty when none is set or reading
  // the settings failed.
  std::string GetUploadURL();

  // The address the file is posted to: `base_url` as it stands, then "?ImpID=", the
  // import rule and "&FN=", the file name (without folder), both escaped with
  // QvStrMan_EncodeURIComponent.
  static std::string UploadAddress(const std::string& base_url, const std::string& imp_rule,
                                   const std::string& file_name);

  // The uploader's command line as text: the quoted uploader path, " --data-binary ",
  // the quoted "@" and file path, a space, the quoted address and " -k".
  static std::string UploadCommandLine(const std::string& uploader, const std::string& file,
                                       const std::string& address);

  // The uploader's argument vector built from the same pieces, each one argument:
  // uploader, "--data-binary", "@" + file, address, "-k".
  static std::vector<std::string> UploadArguments(const std::string& uploader,
                                                  const std::string& file,
                                                  const std::string& address);

  // The uploader to run: upload.exe in the program folder, else the one installed
  // beside the executable (a packaged program), else the program folder's path.
  static std::string UploaderPath();

  // True when the registry selects the built-in sender ("Uploader"="builtin", any case).
  static bool BuiltinSenderSelected();

  // A check the built-in sender asks while a transfer runs; when it answers true the
  // transfer ends at once and the file counts as undelivered (exit status 42). Applies
  // to every CQVFileXfer of the process; an empty function removes it. Waits for an
  // upload that runs meanwhile to end; the check must not call back into CQVFileXfer.
  static void SetAbortCheck(std::function<bool()> abort_check);

  // While a sink is set, no file is sent: every TransferFile that would upload hands
  // the file to the sink instead and goes on as after a delivery. Process-wide; an
  // empty function sends again. Set only by a dry run.
  static void SetDryRunSink(DryRunSink sink);

  // The counters of every CQVFileXfer of the process since the start or the last
  // reset. Safe to read from any thread.
  static UploadCounters Counters();
  static void ResetCounters();

 private:
  void Start(const std::string& strFileToTransfer, const std::string& strImpRuleFolder,
             std::function<void(bool delivered)> done);
};

}  // namespace qv
