// The LRPC2 message types: numbers, names and flags.
//
// LRPC2_MSG_TYPES is the single list behind both the message-type table
// (OVGPrivGetMsgTable, sorted by number) and the named constants MsgType::Id
// used by the request dispatcher. Each row is X(number, constant, "name", flags).
// Flags: 1 = the message holds sensitive data, 3 = authentication required,
// 4 = execute asynchronously (no row sets it).
#pragma once
#include <cstdint>

#define LRPC2_MSG_TYPES(X)                                                   \
  X(0, DISCONNECT, "DISCONNECT", 0)                                          \
  X(1, ProcessAuthChallenge, "_ProcessAuthChallenge", 0)                     \
  X(2, ProcessAuthResponse, "_ProcessAuthResponse", 0)                       \
  X(3, ProcessAuthChallenge2, "_ProcessAuthChallenge2", 0)                   \
  X(10, VGPing, "VGPing", 0)                                                 \
  X(20, VGStop, "VGStop", 3)                                                 \
  X(21, VGStop2, "VGStop2", 3)                                               \
  X(30, VGSessionStart, "VGSessionStart", 3)                                 \
  X(31, VGSessionStart2, "VGSessionStart2", 3)                               \
  X(33, VGSessionStart4, "VGSessionStart4", 3)                               \
  X(34, VGSessionStart5, "VGSessionStart5", 3)                               \
  X(35, VGSessionStart6, "VGSessionStart6", 3)                               \
  X(36, VGSessionStart7, "VGSessionStart7", 3)                               \
  X(37, VGSessionStart8, "VGSessionStart8", 3)                               \
  X(38, VGSessionStart9, "VGSessionStart9", 3)                               \
  X(39, VGSessionStart10, "VGSessionStart10", 3)                             \
  X(40, VGSessionResume, "VGSessionResume", 0)                               \
  X(41, VGSessionResume2, "VGSessionResume2", 0)                             \
  X(42, VGSessionResume3, "VGSessionResume3", 0)                             \
  X(43, VGSessionResume4, "VGSessionResume4", 0)                             \
  X(44, VGSessionResume5, "VGSessionResume5", 0)                             \
  X(50, VGSessionData, "VGSessionData", 0)                                   \
  X(51, VGSessionData2, "VGSessionData2", 0)                                 \
  X(52, VGSessionData3, "VGSessionData3", 0)                                 \
  X(60, VGSessionWSizeChange, "VGSessionWSizeChange", 0)                     \
  X(61, VGSessionWSizeChange2, "VGSessionWSizeChange2", 0)                   \
  X(62, VGSessionWSizeChange3, "VGSessionWSizeChange3", 0)                   \
  X(65, VGSessionPGID, "VGSessionPGID", 0)                                   \
  X(70, VGSessionEnd, "VGSessionEnd", 3)                                     \
  X(71, VGSessionPause, "VGSessionPause", 3)                                 \
  X(72, VGSessionContinue, "VGSessionContinue", 3)                           \
  X(73, VGSessionKill, "VGSessionKill", 3)                                   \
  X(74, VGSessionEnd2, "VGSessionEnd2", 3)                                   \
  X(80, VGQueryIsDaemonOnline, "VGQueryIsDaemonOnline", 0)                   \
  X(90, VGQueryCollectorStatus, "VGQueryCollectorStatus", 0)                 \
  X(91, VGQueryCollectorStatus2, "VGQueryCollectorStatus2", 0)               \
  X(92, VGQueryConnectionStatistics, "VGQueryConnectionStatistics", 3)       \
  X(93, VGQueryVgdParameters, "VGQueryVgdParameters", 0)                     \
  X(94, VGQueryVgdParameter, "VGQueryVgdParameter", 0)                       \
  X(100, VGQueryDBSize, "VGQueryDBSize", 0)                                  \
  X(107, ControlLog2, "ControlLog2", 0)                                      \
  X(110, VGQueryDespoolRate, "VGQueryDespoolRate", 0)                        \
  X(120, VGReloadProps, "VGReloadProps", 3)                                  \
  X(121, VGRebindCollector, "VGRebindCollector", 3)                          \
  X(130, VGFlushCache, "VGFlushCache", 3)                                    \
  X(140, VGQueryATDBSize, "VGQueryATDBSize", 0)                              \
  X(150, VGQueryDespoolATRate, "VGQueryDespoolATRate", 0)                    \
  X(151, VGQuerySpoolInfo, "VGQuerySpoolInfo", 3)                            \
  X(160, VGQueryIsATChannelOnline, "VGQueryIsATChannelOnline", 0)            \
  X(170, VGFlushInstallationInfoCache, "VGFlushInstallationInfoCache", 3)    \
  X(180, VGResumeSpool, "VGResumeSpool", 3)                                  \
  X(190, VGQueryVgdActionCount, "VGQueryVgdActionCount", 0)                  \
  X(201, VGSessionStart11, "VGSessionStart11", 3)                            \
  X(202, VGSessionStart12, "VGSessionStart12", 3)                            \
  X(203, VGSessionStart13, "VGSessionStart13", 3)                            \
  X(204, VGSessionStart14, "VGSessionStart14", 3)                            \
  X(205, VGSessionStart15, "VGSessionStart15", 3)                            \
  X(206, VGSessionStart16, "VGSessionStart16", 3)                            \
  X(207, VGSessionStart17, "VGSessionStart17", 3)                            \
  X(500, NSSGetPasswdDataByName, "NSSGetPasswdDataByName", 1)                \
  X(501, NSSGetPasswdDataByUID, "NSSGetPasswdDataByUID", 1)                  \
  X(600, VGQueryIsHooked, "VGQueryIsHooked", 0)                              \
  X(601, VGQueryIsLibauditEnabled, "VGQueryIsLibauditEnabled", 0)            \
  X(602, VGEnableLibaudit, "VGEnableLibaudit", 3)                            \
  X(603, VGReloadMonitoring, "VGReloadMonitoring", 3)                        \
  X(610, VGQueryRunlevel, "VGQueryRunlevel", 0)                              \
  X(700, VGGetAuditLevel, "VGGetAuditLevel", 0)                              \
  X(800, VGQueryIsUserAlwaysPermittedLogin, "VGQueryIsUserAlwaysPermittedLogin", 0) \
  X(1210, AuditTrailSessionData, "AuditTrailSessionData", 0)                 \
  X(1211, AuditTrailPing, "AuditTrailPing", 0)                               \
  X(1212, AuditTrailSessionData2, "AuditTrailSessionData2", 0)               \
  X(1400, WatchDogPing, "WatchDogPing", 0)                                   \
  X(1500, NSSGetPasswdDataByName2, "NSSGetPasswdDataByName2", 1)             \
  X(1501, NSSGetPasswdDataByUID2, "NSSGetPasswdDataByUID2", 1)               \
  X(1600, VGCacheOvsSecret, "VGCacheOvsSecret", 0)                           \
  X(1700, VGQueryIsSessionAudited, "VGQueryIsSessionAudited", 0)             \
  X(1800, VGQueryIsOagentPreferred, "VGQueryIsOagentPreferred", 0)           \
  X(1900, VGQueryOvsInstallation, "VGQueryOvsInstallation", 0)               \
  X(2000, VGQueryOriginalShell, "VGQueryOriginalShell", 0)                   \
  X(2100, VGQuerySslConnection, "VGQuerySslConnection", 0)                   \
  X(3000, VGFbSessionStart, "VGFbSessionStart", 3)                           \
  X(3050, VGFbSessionResume, "VGFbSessionResume", 3)                         \
  X(3100, VGFbSessionEnd, "VGFbSessionEnd", 3)                               \
  X(3200, VGFbFrame, "VGFbFrame", 0)                                         \
  X(3300, VGFbRectangle, "VGFbRectangle", 0)                                 \
  X(3400, VGFbAppInfo, "VGFbAppInfo", 0)                                     \
  X(3500, VGQueryIsFbSessionAuditEnabled, "VGQueryIsFbSessionAuditEnabled", 0)

// Named message-type numbers: MsgType::VGPing == 10. The three internal
// authentication types drop the leading underscore of their table names
// (MsgType::ProcessAuthChallenge is "_ProcessAuthChallenge").
namespace MsgType {
enum Id : uint32_t {
#define LRPC2_MSG_TYPE_ENUM(num, ident, name, flags) ident = num,
  LRPC2_MSG_TYPES(LRPC2_MSG_TYPE_ENUM)
#undef LRPC2_MSG_TYPE_ENUM
};
}  // namespace MsgType
