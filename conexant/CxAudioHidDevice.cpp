// The device object: reference counting, binding to a chip type, the
// table-driven memory access and the report exchange.
#include "conexant/CxAudioHidDevice.h"

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <vector>

#include "app/DiagnosticLog.h"
#include "platform/Clock.h"

namespace
{
constexpr const char* kMemoryAccess = "CxAudioHidDevice::MemoryAccess";
constexpr const char* kWriteReport = "CxAudioHidDevice::WriteOutputReport";
constexpr const char* kReadReport = "CxAudioHidDevice::ReadInputReport";
constexpr std::uint32_t kMutexWaitMs = 5000;
constexpr std::size_t kReportBufferSize = 62;
} // namespace

bool CCxDeviceMutex::Create()
{
    return m_event.Create(false, true);
}

EWaitResult CCxDeviceMutex::Wait(std::uint32_t timeoutMs)
{
    const std::thread::id self = std::this_thread::get_id();
    if (m_owner.load() == self)
    {
        ++m_depth;
        return EWaitResult::Signalled;
    }
    const EWaitResult result = m_event.Wait(timeoutMs);
    if (result == EWaitResult::Signalled)
    {
        m_owner.store(self);
        m_depth = 1;
    }
    return result;
}

bool CCxDeviceMutex::Release()
{
    if (m_owner.load() != std::this_thread::get_id() || m_depth == 0)
        return false;
    if (--m_depth > 0)
        return true;
    m_owner.store(std::thread::id());
    return m_event.Set();
}

void CxInitialProperties(int chipType, std::int32_t (&properties)[kCxPropertyCount])
{
    std::fill(std::begin(properties), std::end(properties), 0);
    // Where the firmware of each chip keeps the EEPROM size code and the
    // version of the patch it runs (chip memory, type 1).
    static constexpr std::int32_t kSizeCodeAddress[kCxChipTypeCount] = {-1, 4755, 4667, 5275, -1};
    static constexpr std::int32_t kPatchVersionAddress[kCxChipTypeCount] = {0x1000, 0x1000, 0x1000, 0x1000, -1};
    if (chipType < 0 || chipType >= kCxChipTypeCount)
        return;
    properties[kCxPropEepromPointer] = chipType == kCxChip20805 ? -1 : 56;
    properties[kCxPropEepromSizeCodeAddress] = kSizeCodeAddress[chipType];
    properties[kCxPropPatchVersionAddress] = kPatchVersionAddress[chipType];
    properties[kCxPropFirmwareKnowsEepromSize] = 1;
}

CxAudioHidDevice::CxAudioHidDevice(int chipType, const SCxIdentityRecord& identity, SCxDeviceHandles handles)
    : m_chipType(chipType), m_protocol(), m_identity(identity), m_handles(std::move(handles)),
      m_outputLength(identity.caps.outputReportByteLength), m_inputLength(identity.caps.inputReportByteLength)
{
    if (chipType >= 0 && chipType < kCxChipTypeCount)
    {
        m_protocol = CxProtocolDescriptor(chipType);
        if (const SCxMemoryDescriptor* table = CxMemoryTable(m_protocol.memoryTable))
        {
            std::copy(table, table + kCxMemoryTypeCount, m_memories);
            m_hasMemoryTable = true;
        }
    }
    CxInitialProperties(chipType, m_properties);
}

CxAudioHidDevice::~CxAudioHidDevice() = default;

void CxAudioHidDevice::SwitchToCx20562Format()
{
    m_protocol.flags = kCxProtoCorrected | kCxProtoAlwaysReadBack | kCxProtoChecksum; // 0x70, address mode 0
    m_inputLength = 3;
    m_outputLength = 6;
    m_memories[0].access = kCxMemReadable | kCxMemWritable;
    for (int type = 0; type < kCxMemoryTypeCount; ++type)
    {
        SCxMemoryDescriptor& memory = m_memories[type];
        const bool wide = type >= 3;
        memory.highestEnd = 0x1FFF;
        memory.chunkUnit = wide ? 2 : 1;
        memory.maxChunk = wide ? 2 : 1;
        memory.requestPayloadOffset = wide ? 3 : 4;
        memory.replyPayloadOffset = wide ? 1 : 2;
    }
}

ICxAudioBase* CxAudioHidDevice::QueryInterface(const char* interfaceName)
{
    if (interfaceName == nullptr)
        return nullptr;
    if (std::strcmp(interfaceName, "ICxAudioHidDev") == 0)
    {
        AddRef();
        return static_cast<ICxAudioHidDev*>(this);
    }
    if (m_hasI2c && std::strcmp(interfaceName, "ICxAudioHidDevI2C") == 0)
    {
        AddRef();
        return &m_i2c;
    }
    return nullptr;
}

std::uint32_t CxAudioHidDevice::AddRef()
{
    return m_refs.fetch_add(1) + 1;
}

std::uint32_t CxAudioHidDevice::Release()
{
    const std::uint32_t left = m_refs.fetch_sub(1) - 1;
    if (left == 0)
        delete this;
    return left;
}

CxPatchProgressCallback CxAudioHidDevice::SetPatchProgressCallback(void* context, CxPatchProgressCallback callback)
{
    const CxPatchProgressCallback previous = m_patchProgress;
    m_patchProgress = callback;
    if (context != nullptr)
        m_callbackContext = context;
    return previous;
}

CxMemoryProgressCallback CxAudioHidDevice::SetMemoryProgressCallback(void* context,
                                                                     CxMemoryProgressCallback callback)
{
    const CxMemoryProgressCallback previous = m_memoryProgress;
    m_memoryProgress = callback;
    if (context != nullptr)
        m_callbackContext = context;
    return previous;
}

SCxDeviceIdentity CxAudioHidDevice::GetDeviceInfo() const
{
    SCxDeviceIdentity info{};
    info.flags = m_identity.flags;
    info.path = m_identity.path.c_str();
    info.vendorId = m_identity.vendorId;
    info.productId = m_identity.productId;
    info.versionNumber = m_identity.versionNumber;
    info.usagePage = m_identity.caps.usagePage;
    info.usage = m_identity.caps.usage;
    info.featureLength = m_identity.caps.featureReportByteLength;
    info.inputLength = m_inputLength;
    info.outputLength = m_outputLength;
    return info;
}

int CxAudioHidDevice::MemoryRead(std::uint32_t memoryType, std::uint32_t flags, std::uint32_t address,
                                 std::uint8_t* buffer, std::uint32_t count, SCxAccessStatistics* statistics)
{
    return MemoryAccess(0, memoryType, flags, address, count, buffer, count, statistics);
}

int CxAudioHidDevice::MemoryWrite(std::uint32_t memoryType, std::uint32_t flags, std::uint32_t address,
                                  const std::uint8_t* buffer, std::uint32_t count, SCxAccessStatistics* statistics)
{
    // A write only reads from the buffer.
    return MemoryAccess(1, memoryType, flags, address, count, const_cast<std::uint8_t*>(buffer), count, statistics);
}

int CxAudioHidDevice::EepromRead(std::uint32_t address, std::uint8_t* buffer, std::uint32_t count)
{
    return MemoryRead(0, 0, address, buffer, count, nullptr);
}

int CxAudioHidDevice::EepromWrite(std::uint32_t address, const std::uint8_t* buffer, std::uint32_t count)
{
    return MemoryWrite(0, 0, address, buffer, count, nullptr);
}

int CxAudioHidDevice::ValidateAccess(std::uint32_t direction, std::uint32_t memoryType, std::uint32_t flags,
                                     std::uint32_t address, std::uint32_t count) const
{
    (void)flags;
    if (m_chipType < 0 || m_chipType >= kCxChipTypeCount)
        return CXHID_STATUS_INVALID_DEVICE_TYPE;
    if (!m_hasMemoryTable)
        return CXHID_STATUS_INVALID_OPERATION;
    if (direction > 1)
        return CXHID_STATUS_INVALID_OPERATION;
    if (memoryType >= kCxMemoryTypeCount)
        return CXHID_STATUS_INVALID_MEMORY_TYPE;
    const SCxMemoryDescriptor& memory = m_memories[memoryType];
    const bool write = direction == 1;
    if ((memory.access & (write ? kCxMemWritable : kCxMemReadable)) == 0)
        return CXHID_STATUS_INVALID_MEMORY_ACCESS;
    if (address < memory.lowestStart || address > memory.highestStart)
        return CXHID_STATUS_INVALID_MEMORY_ADDRESS;
    if (count == 0)
        return CXHID_STATUS_INVALID_MEMORY_ACCESS;
    if (static_cast<std::uint64_t>(address) + count - 1 > memory.highestEnd)
        return CXHID_STATUS_INVALID_MEMORY_ADDRESS;
    // Registers are as wide as their chunk unit: a request carries whole
    // registers (a part of one would put the checksum where the chip does
    // not look for it, or write the other half as zero).
    if (memory.chunkUnit > 1 && count % memory.chunkUnit != 0)
        return CXHID_STATUS_INVALID_MEMORY_ACCESS;
    if ((memory.access & kCxMemCommandAddressed) != 0 && (m_protocol.flags & kCxProtoAddressModeMask) != 0)
    {
        // The request names the register through the command byte (flags
        // bits 1-3) and carries no address: only the start of the register
        // can be reached, and no more than one register at a time.
        if (address != memory.lowestStart)
            return CXHID_STATUS_INVALID_MEMORY_ADDRESS;
        if (count > memory.maxChunk)
            return CXHID_STATUS_INVALID_MEMORY_ACCESS;
    }
    return CXHID_STATUS_OK;
}

int CxAudioHidDevice::MemoryAccess(std::uint32_t direction, std::uint32_t memoryType, std::uint32_t flags,
                                   std::uint32_t address, std::uint32_t count, std::uint8_t* buffer,
                                   std::uint32_t bufferSize, SCxAccessStatistics* statistics)
{
    SCxAccessStatistics stats{};
    stats.size = sizeof(SCxAccessStatistics);

    // Validation, in this order, before the mutex and before any report.
    int status = ValidateAccess(direction, memoryType, flags, address, count);
    if (status != CXHID_STATUS_OK)
        return status;
    if (buffer == nullptr)
        return CXHID_STATUS_NULL_BUFFER;
    if (bufferSize == 0)
        return CXHID_STATUS_ZERO_BUFFER_SIZE;
    const SCxMemoryDescriptor& memory = m_memories[memoryType];
    const bool write = direction == 1;

    const std::shared_ptr<CCxDeviceMutex> mutex = m_handles.mutex;
    if (!mutex || !mutex->IsValid())
    {
        LogPrintf("[%d][%s] - WaitForSingleObject(MUTEX)\n", __LINE__, kMemoryAccess);
        return CXHID_STATUS_SYSTEM_ERROR;
    }
    switch (mutex->Wait(kMutexWaitMs))
    {
    case EWaitResult::Signalled: break;
    case EWaitResult::Timeout:
        LogPrintf("[%d][%s] - WaitForSingleObject(MUTEX, WAIT_TIMEOUT)\n", __LINE__, kMemoryAccess);
        return CXHID_STATUS_SYSTEM_ERROR;
    default:
        LogPrintf("[%d][%s] - WaitForSingleObject(MUTEX, WAIT_FAILED)\n", __LINE__, kMemoryAccess);
        return CXHID_STATUS_SYSTEM_ERROR;
    }

    const std::uint32_t addressMode = m_protocol.flags & kCxProtoAddressModeMask;
    const bool alwaysReadBack = (m_protocol.flags & kCxProtoAlwaysReadBack) != 0;
    const bool checksum = (m_protocol.flags & kCxProtoChecksum) != 0;
    const bool verify = write && (flags & kCxAccessVerify) != 0;
    const bool commandAddressed = (memory.access & kCxMemCommandAddressed) != 0;
    std::uint32_t maxChunk = memory.maxChunk == 0 ? 1 : memory.maxChunk;
    if (memoryType == 0 && m_oneBytePayload)
        maxChunk = 1;
    const std::uint32_t replyAttempts = std::max<std::uint32_t>(m_io.replyAttempts, 1);

    std::uint32_t bytesToGo = write ? count : std::min(count, bufferSize);
    std::uint32_t bytesDone = 0;
    std::uint32_t sourceIndex = 0;
    const std::size_t requestSize =
        std::max<std::size_t>({kReportBufferSize, m_outputLength, memory.requestPayloadOffset + maxChunk + 1u});
    const std::size_t replySize =
        std::max<std::size_t>({kReportBufferSize, m_inputLength, memory.replyPayloadOffset + maxChunk});
    std::vector<std::uint8_t> request(requestSize, 0);
    std::vector<std::uint8_t> readRequest(requestSize, 0);
    std::vector<std::uint8_t> reply(replySize, 0);
    request[0] = memory.requestReportId;

    while (status == CXHID_STATUS_OK && bytesToGo > 0)
    {
        std::uint32_t chunk = std::min(bytesToGo, maxChunk);
        // A request names address bit 16 once, in its command: its bytes must
        // not run from below 0x10000 to above it (a part addressed in two
        // 64 KiB blocks would put them at the start of the first block).
        if (addressMode != 0 && !commandAddressed)
            chunk = std::min<std::uint32_t>(chunk, 0x10000u - (address & 0xFFFFu));

        std::uint8_t command = 0;
        if (addressMode == 0)
        {
            command = static_cast<std::uint8_t>((address >> 8) & 0x1F);
            request[2] = static_cast<std::uint8_t>(address & 0xFF);
        }
        else if (!commandAddressed)
        {
            command = address >= 0x10000 ? 0x10 : 0x00;
            request[2] = static_cast<std::uint8_t>(chunk);
            request[3] = static_cast<std::uint8_t>((address >> 8) & 0xFF);
            request[4] = static_cast<std::uint8_t>(address & 0xFF);
        }
        else
        {
            command = static_cast<std::uint8_t>((flags & kCxAccessCommandBitsMask) * 4);
        }
        if (write)
            command |= m_protocol.writeBit;
        if (memoryType == 0)
            command |= m_protocol.memoryType0Bit;
        if (memoryType == 3)
            command |= m_protocol.memoryType3Bit;
        request[1] = command;

        const std::size_t requestOffset = memory.requestPayloadOffset;
        if (write)
        {
            for (std::uint32_t i = 0; i < chunk; ++i)
            {
                request[requestOffset + i] = buffer[sourceIndex];
                sourceIndex = (sourceIndex + 1) % bufferSize;
            }
        }
        if (checksum)
            request[requestOffset + chunk] = CxRequestChecksum(request.data(), requestOffset + chunk);

        // A verified write of a chip that does not answer writes asks for the
        // bytes just written with the same request, the write bit cleared.
        const bool separateRead = verify && !alwaysReadBack;
        if (separateRead)
        {
            readRequest = request;
            readRequest[1] = static_cast<std::uint8_t>(readRequest[1] & ~m_protocol.writeBit);
            if (checksum)
                readRequest[requestOffset + chunk] = CxRequestChecksum(readRequest.data(), requestOffset + chunk);
        }
        const bool needReply = !write || alwaysReadBack || verify;

        // Replies still owed to earlier requests come first: none of them
        // answers this one.
        if (needReply && m_owedReplies > 0)
            SettleOwedReplies(memory.replyReportId);

        std::uint32_t written = 0;
        std::uint32_t issued = 0;
        status = SendReport(request.data(), m_outputLength, write ? memory.writeDelayMs : memory.readDelayMs,
                            &written, &issued);
        if (needReply && !separateRead)
            m_owedReplies += issued;
        for (std::uint32_t attempt = 1; status == CXHID_STATUS_OK && needReply; ++attempt)
        {
            if (separateRead)
            {
                status = SendReport(readRequest.data(), m_outputLength, memory.readDelayMs, &written, &issued);
                m_owedReplies += issued;
                if (status != CXHID_STATUS_OK)
                    break;
            }
            std::fill(reply.begin(), reply.end(), 0);
            std::uint32_t got = 0;
            bool timedOut = false;
            status = ReadReply(memory.replyReportId, reply.data(), m_inputLength, &got, &timedOut);
            if (status == CXHID_STATUS_OK)
            {
                // The first reply that comes answers this request, whichever
                // of its sendings it belongs to: they asked the same.
                if (m_owedReplies > 0)
                    --m_owedReplies;
                // A report shorter than the chunk's bytes (hidraw hands over
                // what the device sent) leaves the rest of the buffer as the
                // host cleared it: those are no bytes of the chip.
                if ((!write || verify) && got < memory.replyPayloadOffset + chunk)
                {
                    LogPrintf("[%d][%s] - a reply of %u bytes, %u needed\n", __LINE__, kMemoryAccess, got,
                              memory.replyPayloadOffset + chunk);
                    status = CXHID_STATUS_DEVICE_READ_ERROR;
                }
                break;
            }
            if (!timedOut || attempt >= replyAttempts)
                break;
            LogPrintf("[%d][%s] - no reply in time, request sent again - attempt[%u]\n", __LINE__, kMemoryAccess,
                      attempt + 1);
            status = CXHID_STATUS_OK;
            if (!separateRead)
            {
                status = SendReport(request.data(), m_outputLength, write ? memory.writeDelayMs : memory.readDelayMs,
                                    &written, &issued);
                m_owedReplies += issued;
            }
        }
        const std::size_t replyOffset = memory.replyPayloadOffset;
        if (status == CXHID_STATUS_OK && verify)
        {
            std::uint32_t differences = 0;
            for (std::uint32_t i = 0; i < chunk; ++i)
            {
                const std::uint8_t wrote = request[requestOffset + i];
                const std::uint8_t read = reply[replyOffset + i];
                const bool differs = wrote != read;
                if (differs)
                    ++differences;
                if (i < 60)
                {
                    stats.compare[i] = {address + i, wrote, read, static_cast<std::uint8_t>(differs ? 1 : 0), 0};
                    stats.compareCount = i + 1;
                }
            }
            stats.differences = differences;
            stats.differencesTotal += differences;
            stats.compared = 1;
        }

        if (status == CXHID_STATUS_OK)
        {
            if (!write)
                std::memcpy(buffer + bytesDone, reply.data() + replyOffset, chunk);
            address += chunk;
            bytesDone += chunk;
            bytesToGo -= chunk;
        }

        stats.chunkBytes = status == CXHID_STATUS_OK ? chunk : 0;
        stats.bytesToGo = bytesToGo;
        stats.bytesDone = bytesDone;
        stats.direction = direction;
        stats.memoryType = memoryType;
        const std::uint32_t shown = std::min<std::uint32_t>(chunk, 60);
        std::memcpy(stats.data, write ? request.data() + requestOffset : reply.data() + replyOffset, shown);
        stats.dataLength = shown;

        if (status == CXHID_STATUS_OK && m_memoryProgress != nullptr)
        {
            if (m_memoryProgress(m_callbackContext, bytesDone, &stats) != 0)
                status = CXHID_STATUS_ABORTED;
        }
    }

    if (statistics != nullptr)
    {
        const std::uint32_t first = address - bytesDone;
        stats.firstAddress = first;
        stats.lastAddress = first + bytesDone - 1;
        std::memcpy(statistics, &stats, std::min<std::size_t>(statistics->size, sizeof(stats)));
    }
    if (!mutex->Release())
        LogPrintf("[%d][%s] - ReleaseMutex\n", __LINE__, kMemoryAccess);
    return status;
}

void CxAudioHidDevice::SettleOwedReplies(std::uint8_t reportId)
{
    IHidDevice* device = m_handles.readHandle.get();
    if (device == nullptr)
    {
        m_owedReplies = 0;
        return;
    }
    // Replies carry nothing that names their request: one that is owed is
    // waited for before the next request goes out. A reply later than ten
    // read time-outs (a second with the defaults) counts as lost; the wait
    // is paid only after a reply did not come in time.
    const std::uint32_t windowMs = m_io.readTimeoutMs * 10;
    std::vector<std::uint8_t> report(std::max<std::size_t>(m_inputLength, kReportBufferSize), 0);
    std::uint32_t reads = 0;
    while (m_owedReplies > 0 && reads < m_io.allowedReads)
    {
        std::size_t count = 0;
        const EHidResult result = device->ReadInputReport(report.data(), m_inputLength, windowMs, &count);
        ++reads;
        if (result != EHidResult::Ok)
        {
            LogPrintf("[%d][%s] - %u owed replies did not come (%s)\n", __LINE__, kReadReport, m_owedReplies,
                      HidResultName(result));
            m_owedReplies = 0;
            break;
        }
        if (count > 0 && report[0] == reportId)
        {
            --m_owedReplies;
            LogPrintf("[%d][%s] - dropped a late reply\n", __LINE__, kReadReport);
        }
    }
    m_owedReplies = 0;
}

int CxAudioHidDevice::WriteOutputReport(const std::uint8_t* report, std::uint32_t length, std::uint32_t* written,
                                        std::uint32_t delayMs)
{
    std::uint32_t issued = 0;
    return SendReport(report, length, delayMs, written, &issued);
}

int CxAudioHidDevice::SendReport(const std::uint8_t* report, std::uint32_t length, std::uint32_t delayMs,
                                 std::uint32_t* written, std::uint32_t* issued)
{
    int status = CXHID_STATUS_DEVICE_WRITE_ERROR;
    if (written != nullptr)
        *written = 0;
    *issued = 0;
    IHidDevice* device = m_handles.writeHandle.get();
    if (device == nullptr || report == nullptr)
        return status;
    std::uint32_t failedAttempts = 0;
    for (;;)
    {
        std::size_t count = 0;
        const EHidResult result = device->WriteOutputReport(report, length, m_io.writeTimeoutMs, &count);
        if (delayMs != 0)
            CClock::Sleep(delayMs);
        if (result == EHidResult::Ok)
        {
            ++*issued;
            if (written != nullptr)
                *written = static_cast<std::uint32_t>(count);
            status = CXHID_STATUS_OK;
            break;
        }
        if (result == EHidResult::Timeout || result == EHidResult::DeviceError)
        {
            // A write that did not complete in time was cancelled and may
            // still have reached the chip; one the device did not carry out
            // (system error 31) did not. Either is issued again, a bounded
            // number of times.
            if (result == EHidResult::Timeout)
                ++*issued;
            ++failedAttempts;
            if (failedAttempts >= m_io.writeAttempts)
            {
                LogPrintf("[%d][%s] - GetOverlappedResult::WriteFile - %s after %u attempts\n", __LINE__,
                          kWriteReport, HidResultName(result), failedAttempts);
                break;
            }
            LogPrintf("[%d][%s] - GetOverlappedResult::RetryWrite - attempt[%u] %s\n", __LINE__, kWriteReport,
                      failedAttempts, HidResultName(result));
            if (result == EHidResult::DeviceError && m_io.writeRetryDelayMs != 0)
                CClock::Sleep(m_io.writeRetryDelayMs);
            continue;
        }
        LogPrintf("[%d][%s] - WriteFile - %s\n", __LINE__, kWriteReport, HidResultName(result));
        break;
    }
    return status;
}

int CxAudioHidDevice::ReadInputReport(std::uint8_t reportId, std::uint8_t* buffer, std::uint32_t length,
                                      std::uint32_t* read)
{
    bool timedOut = false;
    return ReadReply(reportId, buffer, length, read, &timedOut);
}

int CxAudioHidDevice::ReadReply(std::uint8_t reportId, std::uint8_t* buffer, std::uint32_t length,
                                std::uint32_t* read, bool* timedOut)
{
    int status = CXHID_STATUS_DEVICE_READ_ERROR;
    *timedOut = false;
    if (read != nullptr)
        *read = 0;
    IHidDevice* device = m_handles.readHandle.get();
    if (device == nullptr || buffer == nullptr || length == 0)
        return status;
    std::uint32_t received = 0;
    for (;;)
    {
        std::size_t count = 0;
        const EHidResult result = device->ReadInputReport(buffer, length, m_io.readTimeoutMs, &count);
        if (result == EHidResult::Timeout || result == EHidResult::Cancelled)
        {
            LogPrintf("[%d][%s] - ReadFile - %s\n", __LINE__, kReadReport, HidResultName(result));
            *timedOut = result == EHidResult::Timeout;
            break;
        }
        if (result != EHidResult::Ok)
        {
            LogPrintf("[%d][%s] - GetOverlappedResult::ReadFile - %s\n", __LINE__, kReadReport,
                      HidResultName(result));
            // The device is gone (system error 1167) or not functioning (31):
            // no read can succeed. Anything else reads again, counted against
            // the allowed reads so that a failure that persists ends too.
            if (result == EHidResult::NoDevice || result == EHidResult::DeviceError)
                break;
            if (++received >= m_io.allowedReads)
            {
                LogPrintf("[%d][%s] - ReadInputReport: Exceeded allowed read attempts\n", __LINE__, kReadReport);
                break;
            }
            continue;
        }
        ++received;
        if (read != nullptr)
            *read = static_cast<std::uint32_t>(count);
        if (count > 0 && buffer[0] == reportId)
        {
            status = CXHID_STATUS_OK;
            break;
        }
        if (received < m_io.allowedReads)
        {
            LogPrintf("[%d][%s] - ReadInputReport: Got unexpected report [0x%02x]\n", __LINE__, kReadReport,
                      count > 0 ? buffer[0] : 0);
            continue;
        }
        LogPrintf("[%d][%s] - ReadInputReport: Exceeded allowed read attempts\n", __LINE__, kReadReport);
        break;
    }
    return status;
}

int CxAudioHidDevice::GetPatchVersion(char* text, std::size_t size)
{
    if (text == nullptr)
        return CXHID_STATUS_NULL_BUFFER;
    if (size < 9)
        return CXHID_STATUS_BUFFER_TOO_SMALL;
    const std::int32_t address = m_properties[kCxPropPatchVersionAddress];
    if (address < 0)
        return CXHID_STATUS_NOT_IMPLEMENTED;
    std::uint8_t version[3] = {};
    const int status = MemoryRead(1, 0, static_cast<std::uint32_t>(address), version, 3, nullptr);
    if (status != CXHID_STATUS_OK)
        return status;
    std::snprintf(text, size, "%02X-%02X-%02X", version[0], version[1], version[2]);
    return CXHID_STATUS_OK;
}

CxAudioHidDev20562::CxAudioHidDev20562(const SCxIdentityRecord& identity, SCxDeviceHandles handles)
    : CxAudioHidDevice(kCxChip20562, identity, std::move(handles))
{
}

CxAudioHidDev2070x::CxAudioHidDev2070x(const SCxIdentityRecord& identity, SCxDeviceHandles handles)
    : CxAudioHidDevice(kCxChip2070x, identity, std::move(handles))
{
    m_hasI2c = true;
    if ((identity.flags & kCxIdentityCorrected) != 0)
        SwitchToCx20562Format();
}

CxAudioHidDev2077x::CxAudioHidDev2077x(const SCxIdentityRecord& identity, SCxDeviceHandles handles)
    : CxAudioHidDevice(kCxChip2077x, identity, std::move(handles))
{
    m_hasI2c = true;
}

CxAudioHidDev2076x::CxAudioHidDev2076x(const SCxIdentityRecord& identity, SCxDeviceHandles handles)
    : CxAudioHidDevice(kCxChip2076x, identity, std::move(handles))
{
}

CxAudioHidDev20805::CxAudioHidDev20805(const SCxIdentityRecord& identity, SCxDeviceHandles handles)
    : CxAudioHidDevice(kCxChip20805, identity, std::move(handles))
{
}

CxAudioHidDevice* CreateCxChipObject(int chipType, const SCxIdentityRecord& identity, SCxDeviceHandles handles)
{
    switch (chipType)
    {
    case kCxChip20562: return new CxAudioHidDev20562(identity, std::move(handles));
    case kCxChip2070x: return new CxAudioHidDev2070x(identity, std::move(handles));
    case kCxChip2077x: return new CxAudioHidDev2077x(identity, std::move(handles));
    case kCxChip2076x: return new CxAudioHidDev2076x(identity, std::move(handles));
    case kCxChip20805: return new CxAudioHidDev20805(identity, std::move(handles));
    default: return nullptr;
    }
}
