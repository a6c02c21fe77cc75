// The installation (one deployment of the audit product) this host belongs
// to, read from its directory object, and the choice of the audit store
// (Instance) whose scope covers the host.
//
// An installation object carries the multi-valued "keywords" attribute with
// "Version:Orvane.Meridia.Installation.1", "InstallationId:<id>" and
// "InstallationName:<name>", and one crammed value per audit store in
// "ServiceBindingInformation" (meridia/instance.h).
//
// An InstallationInfo borrows the loader, which must outlive it; it is not
// shared between threads.
#pragma once
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "meridia/host_addresses.h"
#include "meridia/instance.h"
#include "ofw/capi/capi_loader.h"
#include "ofw/config/properties.h"
#include "ofw/guid.h"
#include "ofw/logging/logger.h"
#include "ofw/paths.h"

namespace meridia {

// What the audit-store choice knows of the host.
struct HostScope {
  std::string preferredStore;  // property preferred.audit.store
  std::string site;            // host settings site, domain, forest
  std::string domain;
  std::string forest;
  std::vector<uint32_t> addresses;  // IPv4, host order

  // Reads the property and the settings (prefix + name, ofw/capi/dirsettings.h)
  // and probes the addresses; empty settings are logged at WARN.
  static HostScope Read(const ofw::Properties& properties, const std::string& settingsPrefix,
                        const AddressProbe& probe, const ofw::LoggerPtr& logger);
};

// The audit store for the host among the instances: the preferred store by
// name, else the longest subnet match over all addresses (the first wins a
// tie), else the first whose sites hold site@forest, else the first holding
// the bare site; only instances with UNIX affinity take part. None when
// nothing matches.
std::optional<Instance> ChooseInstance(const std::vector<Instance>& instances, const HostScope& host,
                                       const ofw::LoggerPtr& logger = ofw::getLogger("meridia.installation_info"));

class InstallationInfo {
 public:
  static constexpr const char* VERSION_KEYWORD_VALUE = "Orvane.Meridia.Installation.1";
  static constexpr const char* DEFAULT_INSTALLATION = "DefaultInstallation";
  // Names of the installation settings files in the settings directory
  // ("<dir>/vg.installation.id" and "<dir>/vg.installation.name", each
  // holding one value and a line end).
  static constexpr const char* ID_SETTING = "vg.installation.id";
  static constexpr const char* NAME_SETTING = "vg.installation.name";

  explicit InstallationInfo(const ofw::CapiDynamicLoader& loader,
                            const ofw::LoggerPtr& logger = ofw::getLogger("meridia.installation_info"));

  // What to load by; Load() uses the GUID when it is not null, else the id
  // when it is not empty, else the name.
  void setGuid(const ofw::Guid& guid) { guid_ = guid; }
  void setId(const std::string& id) { id_ = id; }
  void setName(const std::string& name) { name_ = name; }

  // Opens a directory session and loads. Directory failures throw
  // ofw::CapiException (status as code; OPW_ERR_NOT_FOUND when no object
  // matches), a malformed object ofw::SystemException.
  void Load();
  void LoadFromGuid(OPW_SESSION session);
  void LoadFromInstallationId(OPW_SESSION session);
  void LoadFromInstallationName(OPW_SESSION session);
  // Reads the object's DN, keywords and audit stores.
  void Load(OPW_SESSION session, OPW_OBJECT object);

  // ChooseInstance over this installation's instances.
  std::optional<Instance> GetInstance(const HostScope& host) const {
    return ChooseInstance(instances_, host, logger_);
  }

  // The installation GUID set by group policy: value "InstallationGuid" of the
  // policy file; all-zero when the file or the value is absent. A malformed
  // file throws ofw::BadDataException "Badly formatted policy: <where>: <why>",
  // an unreadable one ofw::IOException. The format is in the README.
  static ofw::Guid GetCurrentInstallationGuid(const std::string& policyFile = ofw::paths::POLICY_FILE);
  // The same for the file's content; `where` names it in errors.
  static ofw::Guid ParsePolicy(const std::string& text, const std::string& where);

  // The locally configured installation id (settings file ID_SETTING in the
  // directory). When it is empty, the installation DEFAULT_INSTALLATION is
  // loaded and its id returned and written back with NAME_SETTING (a failed
  // write is logged); when that fails too the result is empty.
  static std::string GetCurrentInstallationId(const ofw::CapiDynamicLoader& loader,
                                              const std::string& settingsDir = ofw::paths::DATA_DIR,
                                              const ofw::LoggerPtr& logger = ofw::getLogger("meridia.installation_info"));
  // The settings-file prefix of a directory: the directory with a '/' added when missing.
  static std::string SettingsPrefix(const std::string& settingsDir);

  const ofw::Guid& guid() const { return guid_; }
  const std::string& id() const { return id_; }
  const std::string& name() const { return name_; }
  const std::string& distinguishedName() const { return dn_; }
  const std::vector<Instance>& instances() const { return instances_; }

  // Ordered by GUID, then id, then name; equivalent when none is less.
  bool lessThan(const InstallationInfo& other) const;
  bool equivalent(const InstallationInfo& other) const;

 private:
  void loadByKeyword(OPW_SESSION session, const char* keyword, const std::string& value);

  const ofw::CapiDynamicLoader& loader_;
  ofw::LoggerPtr logger_;
  ofw::Guid guid_;
  std::string id_;
  std::string name_;
  std::string dn_;
  std::vector<Instance> instances_;
};

}  // namespace meridia
