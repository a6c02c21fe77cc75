#include "server/handlers_audittrail.h"

#include "auditor/auditor.h"
#include "audittrail/at_event.h"
#include "audittrail/at_params.h"
#include "lrpc2/msg_types.h"
#include "ofw/exceptions.h"
#include "server/request_reader.h"

void HandleAuditTrailSessionData(uint32_t type, LRPC2Msg* request, LRPC2Msg*) {
  static ofw::LoggerPtr logger = ofw::getLogger("ovg.lrpc2.server");
  ovg::RequestReader in(request);
  audittrail::ATEvent event;
  event.first = in.string("first text");
  event.second = in.string("second text");
  event.eventId = in.uint32("event id");
  if (type == MsgType::AuditTrailSessionData2) {
    std::string seconds = in.blob("event time seconds");
    std::string microseconds = in.blob("event time microseconds");
    event.time = audittrail::eventTimeFromParts(seconds, microseconds, logger);
    OFW_DEBUG(logger, "MsgType is AuditTrailSessionData2");
  } else {
    event.time = audittrail::eventTimeFromTimeval(in.blob("event time"), logger);
    OFW_DEBUG(logger, "MsgType is AuditTrailSessionData");
  }
  event.fifth = in.string("fifth text");
  event.sixth = in.string("sixth text");
  in.blob("user SID");
  event.session = audittrail::sessionGuidFromText(in.string("session GUID"), logger);
  event.pid = audittrail::pidFromBlob(in.blob("process id"));
  const std::string sessionText = event.session.toMSString();
  OFW_DEBUG(logger, "OVG daemon received an audit trail event: %s %s %u %lu.%lu %s %s <userSid> Session ID:[%s] %llu",
            event.first.c_str(), event.second.c_str(), event.eventId, static_cast<unsigned long>(event.time.tv.tv_sec),
            static_cast<unsigned long>(event.time.tv.tv_usec), event.fifth.c_str(), event.sixth.c_str(),
            sessionText.c_str(), static_cast<unsigned long long>(event.pid));

  // Each parameter consumes values of the request, so the loop ends with it.
  while (in.more()) {
    uint32_t paramType = in.uint32("parameter type");
    if (paramType == audittrail::AT_PARAM_END) break;
    event.parameters += audittrail::renderATParam(paramType, in.blob("parameter value"), logger);
    event.parameters += ',';
  }
  if (!event.parameters.empty()) event.parameters.pop_back();
  OFW_DEBUG(logger, "The parameters of audit trail are sent to collector are (note: separated by comma) : <%s>",
            event.parameters.c_str());

  const std::string record = audittrail::buildATMessage(event, logger);
  Vigilog::Auditor* auditor = Vigilog::gAuditor;
  if (!auditor) throw ofw::IOException("No Auditor to spool the audit trail event", 0, __FILE__, __LINE__);
  auditor->postAuditTrailData(reinterpret_cast<const unsigned char*>(record.data()),
                              static_cast<unsigned int>(record.size()));
}
