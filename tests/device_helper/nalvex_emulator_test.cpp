// Runs Nalvex.exe's entry on emulated ARM cores the way the Windows CE loader would:
// the image mapped at its base, the import slot filled with the address of a kernel
// stand-in, and WinMain's four arguments in r0 to r3. Three cores, because a fault in
// interworking shows only on some: ARMv4 has no BX at all, ARMv4T and ARMv5TE have
// Thumb but do not switch state on MOV PC.
#include <gtest/gtest.h>
#include <unicorn/unicorn.h>

#include <algorithm>
#include <array>
#include <ostream>
#include <string>
#include <vector>

#include "pe_reader.h"

namespace {

constexpr uint32_t IOCTL_ENTER_USB_DOWNLOADER = 0x24321000;
constexpr uint32_t PAGE = 0x1000;

// Fixed places of the emulated process, all above the image.
constexpr uint32_t STACK_BASE = 0x00100000;
constexpr uint32_t STACK_BYTES = 0x10000;
constexpr uint32_t STACK_TOP = STACK_BASE + STACK_BYTES;
constexpr uint32_t KERNEL_PAGE = 0x00200000;
constexpr uint32_t ARM_KERNEL_ENTRY = KERNEL_PAGE;
constexpr uint32_t THUMB_KERNEL_ENTRY = KERNEL_PAGE + 0x40;
constexpr uint32_t RETURN_PAGE = 0x00300000;  // where the entry's caller resumes
constexpr uint32_t ARGUMENT_PAGE = 0x00400000;
constexpr uint64_t MAX_INSTRUCTIONS = 1000;

constexpr uint32_t CPSR_THUMB = 1u << 5;
constexpr uint32_t CALLEE_SAVED_MARK = 0x5a5a0000;  // r4..r11 hold this plus their number
constexpr uint32_t CALLER_SAVED_JUNK = 0xdead0000;

enum class State { Arm, Thumb };

struct Core {
    const char *name;
    int model;
    bool has_thumb;
};

constexpr Core SA1110{"ARMv4_SA1110", UC_CPU_ARM_SA1110, false};
constexpr Core TI925T{"ARMv4T_TI925T", UC_CPU_ARM_TI925T, true};
constexpr Core PXA255{"ARMv5TE_PXA255", UC_CPU_ARM_PXA255, true};

struct Case {
    Core core;
    State caller;       // state of the code that calls the entry
    State kernel;       // state of the kernel's I/O-control entry
    uint32_t kernel_result;
};

// Kernel stand-ins: set the result, clobber the other caller-saved registers as any
// callee may, and return through lr. ARMv4 has no BX, and the caller is ARM code, so
// the ARM stand-in returns with MOV PC.
std::vector<uint8_t> ArmKernel(uint32_t result) {
    const std::array<uint32_t, 6> code = {
        0xe3a00000 | result,  // mov r0, #result
        0xe3a01011,           // mov r1, #0x11
        0xe3a02022,           // mov r2, #0x22
        0xe3a03033,           // mov r3, #0x33
        0xe3a0c044,           // mov r12, #0x44
        0xe1a0f00e,           // mov pc, lr
    };
    std::vector<uint8_t> bytes;
    for (uint32_t word : code)
        for (int shift = 0; shift < 32; shift += 8) bytes.push_back(static_cast<uint8_t>(word >> shift));
    return bytes;
}

std::vector<uint8_t> ThumbKernel(uint32_t result) {
    const std::array<uint16_t, 6> code = {
        static_cast<uint16_t>(0x2000 | result),  // movs r0, #result
        0x2111,                                  // movs r1, #0x11
        0x2222,                                  // movs r2, #0x22
        0x2333,                                  // movs r3, #0x33
        0x468c,                                  // mov r12, r1
        0x4770,                                  // bx lr
    };
    std::vector<uint8_t> bytes;
    for (uint16_t half : code) {
        bytes.push_back(static_cast<uint8_t>(half));
        bytes.push_back(static_cast<uint8_t>(half >> 8));
    }
    return bytes;
}

// What the kernel stand-in saw at each call.
struct KernelCall {
    std::array<uint32_t, 4> r{};
    uint32_t sp = 0, cpsr = 0, stack0 = 0, stack1 = 0;
};

struct Engine {
    uc_engine *uc = nullptr;
    std::vector<KernelCall> calls;
    ~Engine() {
        if (uc) uc_close(uc);
    }
    uint32_t Reg(int reg) const {
        uint32_t value = 0;
        uc_reg_read(uc, reg, &value);
        return value;
    }
    void SetReg(int reg, uint32_t value) { uc_reg_write(uc, reg, &value); }
};

void OnKernelEntry(uc_engine *, uint64_t, uint32_t, void *user) {
    auto *engine = static_cast<Engine *>(user);
    KernelCall call;
    const std::array<int, 4> args = {UC_ARM_REG_R0, UC_ARM_REG_R1, UC_ARM_REG_R2, UC_ARM_REG_R3};
    for (size_t i = 0; i < args.size(); ++i) call.r[i] = engine->Reg(args[i]);
    call.sp = engine->Reg(UC_ARM_REG_SP);
    call.cpsr = engine->Reg(UC_ARM_REG_CPSR);
    uc_mem_read(engine->uc, call.sp, &call.stack0, 4);
    uc_mem_read(engine->uc, call.sp + 4, &call.stack1, 4);
    engine->calls.push_back(call);
}

uint32_t AlignUp(uint32_t value, uint32_t alignment) {
    return (value + alignment - 1) / alignment * alignment;
}

uint32_t Permissions(uint32_t characteristics) {
    uint32_t perms = 0;
    if (characteristics & pe::SCN_MEM_READ) perms |= UC_PROT_READ;
    if (characteristics & pe::SCN_MEM_WRITE) perms |= UC_PROT_WRITE;
    if (characteristics & pe::SCN_MEM_EXECUTE) perms |= UC_PROT_EXEC;
    return perms;
}

#define ASSERT_UC(call)                                                   \
    do {                                                                  \
        const uc_err err_ = (call);                                       \
        ASSERT_EQ(err_, UC_ERR_OK) << #call << ": " << uc_strerror(err_); \
    } while (0)

class NalvexEntry : public ::testing::TestWithParam<Case> {
protected:
    void SetUp() override {
        std::string error;
        auto read = pe::ReadImageFile(NALVEX_EXE_PATH, error);
        ASSERT_TRUE(read) << error;
        image_ = std::move(*read);
        ASSERT_EQ(image_.imports.size(), 1u);
        ASSERT_LE(uint64_t{image_.image_base} + image_.size_of_image, STACK_BASE);
    }

    // Maps the image as the loader does and points its import slot at the kernel
    // stand-in; the Thumb address carries bit 0, as an interworking address does.
    void Load(Engine &engine, const Case &c) {
        uc_engine *uc = engine.uc;
        const uint32_t base = image_.image_base;
        ASSERT_UC(uc_mem_map(uc, base, AlignUp(image_.size_of_headers, PAGE), UC_PROT_READ));
        ASSERT_UC(uc_mem_write(uc, base, image_.file.data(), image_.size_of_headers));
        for (const pe::Section &s : image_.sections) {
            ASSERT_UC(uc_mem_map(uc, base + s.virtual_address, AlignUp(s.virtual_size, PAGE),
                                 Permissions(s.characteristics)));
            ASSERT_UC(uc_mem_write(uc, base + s.virtual_address, image_.file.data() + s.raw_offset,
                                   std::min(s.raw_size, s.virtual_size)));
        }
        const uint32_t kernel = c.kernel == State::Thumb ? THUMB_KERNEL_ENTRY | 1 : ARM_KERNEL_ENTRY;
        ASSERT_UC(uc_mem_write(uc, base + image_.imports[0].slot_rva, &kernel, 4));

        ASSERT_UC(uc_mem_map(uc, STACK_BASE, STACK_BYTES, UC_PROT_READ | UC_PROT_WRITE));
        ASSERT_UC(uc_mem_map(uc, KERNEL_PAGE, PAGE, UC_PROT_READ | UC_PROT_EXEC));
        const auto stub = c.kernel == State::Thumb ? ThumbKernel(c.kernel_result) : ArmKernel(c.kernel_result);
        const uint32_t stub_at = c.kernel == State::Thumb ? THUMB_KERNEL_ENTRY : ARM_KERNEL_ENTRY;
        ASSERT_UC(uc_mem_write(uc, stub_at, stub.data(), stub.size()));
        ASSERT_UC(uc_mem_map(uc, RETURN_PAGE, PAGE, UC_PROT_READ | UC_PROT_EXEC));
        ASSERT_UC(uc_mem_map(uc, ARGUMENT_PAGE, PAGE, UC_PROT_READ));
        uc_hook hook;
        ASSERT_UC(uc_hook_add(uc, &hook, UC_HOOK_CODE, reinterpret_cast<void *>(OnKernelEntry), &engine,
                              stub_at, stub_at));
    }

    pe::Image image_;
};

// WinMain's arguments: instance, previous instance, command line, show state.
struct Arguments {
    uint32_t instance, previous;
    std::u16string command_line;
    uint32_t show;
};

TEST_P(NalvexEntry, MakesTheOneKernelCallAndReturnsZero) {
    const Case c = GetParam();
    const std::array<Arguments, 2> argument_sets = {{
        {0x00010000, 0, u"", 1},
        {0xfffffffe, 0x12345678, u"/reflash now --anything \"at all\"", 0x7fffffff},
    }};
    for (const Arguments &args : argument_sets) {
        SCOPED_TRACE(std::string(args.command_line.begin(), args.command_line.end()));
        Engine engine;
        ASSERT_UC(uc_open(UC_ARCH_ARM, UC_MODE_ARM, &engine.uc));
        // The model must be chosen before any memory is mapped.
        ASSERT_UC(uc_ctl_set_cpu_model(engine.uc, c.core.model));
        Load(engine, c);
        if (HasFatalFailure()) return;

        const std::u16string line = args.command_line + u'\0';
        ASSERT_UC(uc_mem_write(engine.uc, ARGUMENT_PAGE, line.data(), line.size() * sizeof(char16_t)));
        engine.SetReg(UC_ARM_REG_R0, args.instance);
        engine.SetReg(UC_ARM_REG_R1, args.previous);
        engine.SetReg(UC_ARM_REG_R2, ARGUMENT_PAGE);
        engine.SetReg(UC_ARM_REG_R3, args.show);
        for (int r = 4; r <= 11; ++r)
            engine.SetReg(UC_ARM_REG_R0 + r, CALLEE_SAVED_MARK + static_cast<uint32_t>(r));
        engine.SetReg(UC_ARM_REG_R12, CALLER_SAVED_JUNK);
        engine.SetReg(UC_ARM_REG_SP, STACK_TOP);
        engine.SetReg(UC_ARM_REG_LR, RETURN_PAGE | (c.caller == State::Thumb ? 1u : 0u));

        const uint64_t entry = uint64_t{image_.image_base} + image_.entry_rva;
        ASSERT_UC(uc_emu_start(engine.uc, entry, RETURN_PAGE, 0, MAX_INSTRUCTIONS));

        ASSERT_EQ(engine.calls.size(), 1u) << "exactly one kernel call";
        const KernelCall &call = engine.calls[0];
        EXPECT_EQ((call.cpsr & CPSR_THUMB) != 0, c.kernel == State::Thumb) << "kernel entered in the wrong state";
        EXPECT_EQ(call.r[0], IOCTL_ENTER_USB_DOWNLOADER);
        EXPECT_EQ(call.r[1], 0u) << "input buffer";
        EXPECT_EQ(call.r[2], 0u) << "input size";
        EXPECT_EQ(call.r[3], 0u) << "output buffer";
        EXPECT_EQ(call.stack0, 0u) << "output size";
        // The bytes-returned word: in the entry's own frame, above the outgoing
        // arguments and below the caller's stack, where the kernel may write it.
        EXPECT_EQ(call.stack1 % 4, 0u);
        EXPECT_GE(call.stack1, call.sp + 8);
        EXPECT_LE(uint64_t{call.stack1} + 4, STACK_TOP);

        EXPECT_EQ(engine.Reg(UC_ARM_REG_PC), RETURN_PAGE) << "did not return to its caller";
        EXPECT_EQ((engine.Reg(UC_ARM_REG_CPSR) & CPSR_THUMB) != 0, c.caller == State::Thumb)
            << "returned to its caller in the wrong state";
        EXPECT_EQ(engine.Reg(UC_ARM_REG_R0), 0u) << "exit code";
        EXPECT_EQ(engine.Reg(UC_ARM_REG_SP), STACK_TOP);
        for (int r = 4; r <= 11; ++r)
            EXPECT_EQ(engine.Reg(UC_ARM_REG_R0 + r), CALLEE_SAVED_MARK + static_cast<uint32_t>(r)) << "r" << r;
    }
}

std::vector<Case> AllCases() {
    std::vector<Case> cases;
    for (const Core &core : {SA1110, TI925T, PXA255})
        for (State caller : {State::Arm, State::Thumb})
            for (State kernel : {State::Arm, State::Thumb})
                for (uint32_t result : {1u, 0u})
                    if (core.has_thumb || (caller == State::Arm && kernel == State::Arm))
                        cases.push_back({core, caller, kernel, result});
    return cases;
}

std::string CaseName(const Case &c) {
    const auto state = [](State s) { return s == State::Thumb ? "Thumb" : "Arm"; };
    return std::string(c.core.name) + "_" + state(c.caller) + "Caller_" + state(c.kernel) + "Kernel_" +
           (c.kernel_result ? "True" : "False");
}

void PrintTo(const Case &c, std::ostream *os) { *os << CaseName(c); }

INSTANTIATE_TEST_SUITE_P(Cores, NalvexEntry, ::testing::ValuesIn(AllCases()),
                         [](const ::testing::TestParamInfo<Case> &param) { return CaseName(param.param); });

}  // namespace
