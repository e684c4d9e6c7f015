#include "runprogram.h"

#include "childprocess.h"

TRunResult RunProgram(std::vector<std::string> args, int timeoutMs,
                      std::vector<std::pair<std::string, std::string>> env, std::string_view input)
{
    TRunResult result;
    TChildProcess program({.args = std::move(args), .env = std::move(env), .pipeStdin = !input.empty()});
    if (!program.Started()) {
        result.err = program.Error();
        return result;
    }
    if (!input.empty()) {
        program.Write(input);
        program.CloseStdin();
    }
    result.exitCode = program.Finish(timeoutMs);
    result.out = program.Output(TChildProcess::TStream::Out);
    result.err = program.Output(TChildProcess::TStream::Err);
    return result;
}
