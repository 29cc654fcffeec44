#include "record_text.h"

#include <sstream>

namespace kelvra::test {

std::string describe(const S_CmdParam &r) {
    std::ostringstream out;
    out << "command=" << r.command << " address=" << r.address << " size=" << r.size
        << " baudrate=" << r.baudrate << " timeout=" << r.timeout << " direction=" << r.direction
        << " bcst_with_rsp=" << r.bcst_with_rsp << " kf=" << r.kf
        << " wait_response=" << r.wait_response << " fw_num=" << r.fw_num << " password=["
        << CmdText(r.password) << "] file=[" << CmdText(r.file) << "] data=[" << CmdText(r.data)
        << "] reset_type=" << r.reset_type << " mode=" << r.mode;
    return out.str();
}

S_CmdParam record_of(std::int32_t command, const std::function<void(S_CmdParam &)> &fill) {
    S_CmdParam record = ZeroCmdParam();
    record.command = command;
    if (fill) fill(record);
    return record;
}

}  // namespace kelvra::test
