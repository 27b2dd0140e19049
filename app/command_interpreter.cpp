#include "app/command_interpreter.h"

#include <algorithm>
#include <cstring>

namespace {

constexpr int max_arguments = 4;

std::string on_off(int argc, char** argv, bool state)
{
    if (argc == 0)
        return state ? " on\n" : " off\n";
    if (strcmp(argv[0], "on") == 0)
        return " on\n";
    if (strcmp(argv[0], "off") == 0)
        return " off\n";
    return "";
}

}   // namespace

command_reply interpret_command(std::string_view input, const signal_info* video, const audio_config* audio,
                                const status_snapshot& status)
{
    char command[command_size] = {};
    const size_t length = std::min(input.size(), command_size - 1);
    memcpy(command, input.data(), length);

    command_reply result;
    char* save = nullptr;
    const char* word = strtok_r(command, " \n", &save);
    if (!word)
        return result;
    char* argv[max_arguments] = {};
    int argc = 0;
    while (argc < max_arguments && (argv[argc] = strtok_r(nullptr, " \n", &save)))
        ++argc;

    std::string& reply = result.text;
    reply = word;
    if (strcmp(word, "video_in") == 0) {
        if (!video)
            return reply += " none\n", result;
        reply += " " + signal_text(*video) + "\n";
    } else if (strcmp(word, "video_out") == 0) {
        reply += "\n";
    } else if (strcmp(word, "audio_in") == 0) {
        if (!audio)
            return reply += " none\n", result;
        reply += " " + std::to_string(audio->sample_rate) + "Hz";
        reply += audio->channels == 2 ? " Stereo\n" : " Mono\n";
    } else if (strcmp(word, "audio_out") == 0) {
        if (!audio)
            return reply += " none\n", result;
        reply += on_off(argc, argv, audio->enabled);
    } else if (strcmp(word, "tally") == 0) {
        reply += on_off(argc, argv, false);
    } else if (strcmp(word, "status") == 0) {
        reply = status.line();
    } else if (strcmp(word, "exit") == 0) {
        reply.clear();
        result.exit = true;
    } else {
        reply.clear();
        result.unknown = true;
    }
    return result;
}
