#include "tools/identity_server/connection.h"

#include "tools/identity_server/byte_channel.h"
#include "tools/identity_server/request_framer.h"
#include "tools/identity_server/response.h"

#include <random>
#include <vector>

namespace qv::identity_server {
namespace {

class CONNECTION {
public:
    CONNECTION(SERVER_STATE& state, SOCKET_HANDLE socket, SSL_CTX* tls, const std::string& client)
        : State(state), Channel(std::move(socket), tls, state.EndConnections), Client(client),
          Transport(tls ? "tls" : "plain")
    {
    }

    void Serve()
    {
        std::string problem;
        if (!Channel.Accept(problem)) {
            if (!State.Stopping.load())
                State.Output.Note("TLS handshake with " + Client + " failed: " + problem);
            return;
        }
        TlsVersion = Channel.TlsVersion();
        State.Output.Note("connection from " + Client + " (" + Transport +
                          (TlsVersion.empty() ? "" : ", " + TlsVersion) + ")");
        const std::string ending = ReadRequests();
        State.Output.Note("connection from " + Client + " " + ending);
    }

private:
    // Returns how the connection ended, for the administrator's note.
    std::string ReadRequests()
    {
        std::vector<uint8_t> buffer(16384);
        std::vector<uint8_t> request;
        for (;;) {
            size_t received = 0;
            std::string problem;
            const READ_RESULT result =
                Channel.Read(buffer.data(), buffer.size(), received, problem, State.Options.Misbehave.ResetIdleMs);
            if (result == READ_RESULT::STOPPING)
                return State.Stopping.load() ? "closed: server stopping" : "closed: server going down";
            if (result == READ_RESULT::IDLE) {
                Channel.Reset();
                return "reset after " + std::to_string(State.Options.Misbehave.ResetIdleMs) + " ms idle";
            }
            if (result != READ_RESULT::DATA) {
                ReportCutShort();
                return result == READ_RESULT::CLOSED ? "closed by the client" : "failed: " + problem;
            }
            Framer.Append({buffer.data(), received});
            for (;;) {
                const FRAME_STATE frame = Framer.Next(request);
                if (frame == FRAME_STATE::NEED_MORE)
                    break;
                if (frame == FRAME_STATE::BAD_LENGTH) {
                    ReportBadLength(request);
                    return "closed: Length below the header size";
                }
                if (!Answer(request))
                    return Channel.IsOpen() ? "ended without an answer to its last request" : "closed after an answer";
            }
        }
    }

    REQUEST_REPORT NewReport(std::vector<uint8_t> bytes)
    {
        REQUEST_REPORT report;
        report.Sequence = ++State.RequestsReceived;
        report.Transport = Transport;
        report.TlsVersion = TlsVersion;
        report.Client = Client;
        report.Bytes = std::move(bytes);
        return report;
    }

    void CheckLimit(uint64_t sequence)
    {
        if (State.Options.Count != 0 && sequence == State.Options.Count && State.LimitReached)
            State.LimitReached();
    }

    void ReportCutShort()
    {
        if (Framer.Buffered() == 0)
            return;
        REQUEST_REPORT report = NewReport(Framer.PendingBytes());
        report.Decoded = DecodeRequest(report.Bytes);
        report.StreamError = "connection ended after " + std::to_string(Framer.Buffered()) + " byte(s) of a request";
        if (Framer.ExpectedLength() != 0)
            report.StreamError += " of Length " + std::to_string(Framer.ExpectedLength());
        State.Output.Write(report);
        CheckLimit(report.Sequence);
    }

    void ReportBadLength(const std::vector<uint8_t>& bytes)
    {
        REQUEST_REPORT report = NewReport(bytes);
        report.Decoded = DecodeRequest(report.Bytes);
        report.StreamError = "Length at offset 0 is " + std::to_string(Framer.ExpectedLength()) +
                             ", below the header size of 10; the requests that follow cannot be found, "
                             "closing the connection";
        State.Output.Write(report);
        CheckLimit(report.Sequence);
    }

    // Reports and answers one request; false when the connection is to be dropped.
    bool Answer(std::vector<uint8_t>& bytes)
    {
        REQUEST_REPORT report = NewReport(std::move(bytes));
        report.Decoded = DecodeRequest(report.Bytes);
        State.Output.Write(report);
        ++RequestsHere;
        const MISBEHAVIOUR plan = PlanFor(report.Sequence);
        const bool delivered = SendResponse(plan, report.Sequence, report.Decoded.Fields.RequestId);
        CheckLimit(report.Sequence);
        if (delivered && plan.CloseAfterAnswerMs) {
            // Requests that arrive meanwhile are never answered.
            SleepUnlessStopping(*plan.CloseAfterAnswerMs, State.EndConnections);
            State.Output.Note("closing the connection from " + Client + " after answering request #" +
                              std::to_string(report.Sequence));
            Channel.Close();
            return false;
        }
        return delivered;
    }

    // How this request is answered: as the options say for its number, or at random.
    MISBEHAVIOUR PlanFor(uint64_t sequence)
    {
        const SERVER_OPTIONS& options = State.Options;
        MISBEHAVIOUR plan;
        if (options.ChaosSeed) {
            const uint32_t draw = Random() % 100;
            if (draw < 4)
                plan.DelayMs = options.ChaosLateMs;
            else if (draw < 7)
                plan.Drop = true;
            else if (draw < 10)
                plan.CloseAfterAnswerMs = 0;
            return plan;
        }
        const uint64_t number = options.Misbehave.PerConnection ? RequestsHere : sequence;
        return options.Misbehave.Applies(number) ? options.Misbehave : plan;
    }

    bool SendResponse(const MISBEHAVIOUR& misbehave, uint64_t sequence, uint32_t requestId)
    {
        RESPONSE_SHAPE shape;
        shape.Status = State.Options.Status;
        const bool spoil = misbehave.Spoils();
        if (spoil) {
            if (misbehave.DelayMs != 0 && !SleepUnlessStopping(misbehave.DelayMs, State.EndConnections))
                return false;
            if (misbehave.Drop) {
                State.Output.Note("dropping the connection from " + Client + " instead of answering request #" +
                                  std::to_string(sequence));
                return false;
            }
            shape.WrongId = misbehave.WrongId;
            shape.NoFlag = misbehave.NoFlag;
            if (misbehave.ResponseLength)
                shape.Length = *misbehave.ResponseLength;
        }
        const std::vector<uint8_t> response = BuildResponse(requestId, shape);
        std::string problem;
        bool sent = false;
        if (spoil && misbehave.SplitResponseMs && response.size() > 1) {
            const size_t half = response.size() / 2;
            sent = Channel.WriteAll({response.data(), half}, problem) &&
                   SleepUnlessStopping(*misbehave.SplitResponseMs, State.EndConnections) &&
                   Channel.WriteAll({response.data() + half, response.size() - half}, problem);
        } else {
            sent = Channel.WriteAll(response, problem);
        }
        if (!sent && !problem.empty())
            State.Output.Note("cannot answer " + Client + ": " + problem);
        return sent;
    }

    SERVER_STATE& State;
    BYTE_CHANNEL Channel;
    REQUEST_FRAMER Framer;
    const std::string Client;
    const std::string Transport;
    std::string TlsVersion;
    uint64_t RequestsHere = 0;
    std::minstd_rand Random{State.Options.ChaosSeed.value_or(1) ^ static_cast<uint32_t>(State.Connections++)};
};

}  // namespace

void ServeConnection(SERVER_STATE& state, SOCKET_HANDLE socket, SSL_CTX* tls, const std::string& client)
{
    CONNECTION connection(state, std::move(socket), tls, client);
    connection.Serve();
}

}  // namespace qv::identity_server
