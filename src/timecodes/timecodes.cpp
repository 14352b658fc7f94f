#include "timecodes/timecodes.hpp"

namespace telvane {

Result<const VarHeader*> find_session_time(const IbtFile& file) {
  const VarHeader* session_time = find_var(file, "SessionTime");
  if (session_time == nullptr) return IbtError::invalid_header("Missing SessionTime variable");
  if (session_time->type != VarType::Double) {
    return IbtError::invalid_header("SessionTime should be double, got " + std::string(type_name(session_time->type)));
  }
  return session_time;
}

Result<SessionTimeRecords> session_time_records(const IbtFile& file) {
  Result<const VarHeader*> session_time = find_session_time(file);
  if (!session_time.ok()) return session_time.error();
  Result<ByteView> area = record_area(file);
  if (!area.ok()) return area.error();
  const SessionTimeRecords found{session_time.value(), area.value(),
                                 static_cast<std::uint64_t>(file.sub_header().session_record_count),
                                 static_cast<std::uint64_t>(file.header().buf_len),
                                 static_cast<std::uint64_t>(session_time.value()->offset)};
  if (Status status = check_per_record_read(found.records, found.count, found.stride, found.offset, sizeof(double));
      !status.ok()) {
    return status.error();
  }
  return found;
}

}  // namespace telvane
