// A small LV2 host for comparing plug-ins on equal terms: loads any installed
// plug-in by URI through lilv, feeds it white noise on every audio input,
// holds its controls at their defaults (or at values given on the command
// line) and times run() at a given block size. Prints one line:
//   URI block ns_per_sample x_realtime
// ns_per_sample is the thread's CPU time per sample frame (the best of the
// repetitions); x_realtime is audio time over CPU time at 48 kHz.

#include <lilv/lilv.h>
#include <lv2/urid/urid.h>

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "bench_support.hpp"

namespace {

using zq_bench::thread_seconds;

constexpr double kRate = 48000.0;

// URID map for plug-ins that ask for one.
struct UridMap {
    std::map<std::string, LV2_URID> ids;
    std::vector<std::string> uris;

    static LV2_URID map(LV2_URID_Map_Handle h, const char* uri)
    {
        auto* self = static_cast<UridMap*>(h);
        auto it = self->ids.find(uri);
        if (it != self->ids.end()) {
            return it->second;
        }
        self->uris.emplace_back(uri);
        const auto id = static_cast<LV2_URID>(self->uris.size());
        self->ids.emplace(uri, id);
        return id;
    }
    static const char* unmap(LV2_URID_Unmap_Handle h, LV2_URID id)
    {
        auto* self = static_cast<UridMap*>(h);
        return id >= 1 && id <= self->uris.size() ? self->uris[id - 1].c_str() : nullptr;
    }
};

int usage()
{
    std::fprintf(stderr,
                 "usage: zq_peer_host [--block N] [--seconds S] [--reps R] [--set SYMBOL=VALUE]... URI\n"
                 "LV2_PATH selects where plug-ins are found.\n");
    return 2;
}

} // namespace

int main(int argc, char** argv)
{
    std::uint32_t block = 512;
    double seconds = 2.0;
    int reps = 5;
    std::map<std::string, float> sets;
    const char* uri_text = nullptr;
    for (int i = 1; i < argc; ++i) {
        const std::string a = argv[i];
        if (a == "--block" && i + 1 < argc) {
            block = static_cast<std::uint32_t>(std::strtoul(argv[++i], nullptr, 10));
        } else if (a == "--seconds" && i + 1 < argc) {
            seconds = std::strtod(argv[++i], nullptr);
        } else if (a == "--reps" && i + 1 < argc) {
            reps = std::atoi(argv[++i]);
        } else if (a == "--set" && i + 1 < argc) {
            const std::string kv = argv[++i];
            const auto eq = kv.find('=');
            if (eq == std::string::npos) {
                return usage();
            }
            sets[kv.substr(0, eq)] = std::strtof(kv.c_str() + eq + 1, nullptr);
        } else if (a[0] != '-' && uri_text == nullptr) {
            uri_text = argv[i];
        } else {
            return usage();
        }
    }
    if (uri_text == nullptr || block == 0 || reps < 1) {
        return usage();
    }

    LilvWorld* world = lilv_world_new();
    lilv_world_load_all(world);
    LilvNode* uri = lilv_new_uri(world, uri_text);
    const LilvPlugin* plugin = lilv_plugins_get_by_uri(lilv_world_get_all_plugins(world), uri);
    if (plugin == nullptr) {
        std::fprintf(stderr, "no plug-in %s on LV2_PATH\n", uri_text);
        return 1;
    }

    UridMap urids;
    LV2_URID_Map map{&urids, UridMap::map};
    LV2_URID_Unmap unmap{&urids, UridMap::unmap};
    LV2_Feature map_feature{LV2_URID__map, &map};
    LV2_Feature unmap_feature{LV2_URID__unmap, &unmap};
    const LV2_Feature* features[] = {&map_feature, &unmap_feature, nullptr};
    LilvInstance* inst = lilv_plugin_instantiate(plugin, kRate, features);
    if (inst == nullptr) {
        std::fprintf(stderr, "cannot instantiate %s\n", uri_text);
        return 1;
    }

    LilvNode* audio = lilv_new_uri(world, LILV_URI_AUDIO_PORT);
    LilvNode* control = lilv_new_uri(world, LILV_URI_CONTROL_PORT);
    LilvNode* input = lilv_new_uri(world, LILV_URI_INPUT_PORT);
    LilvNode* optional = lilv_new_uri(world, LV2_CORE__connectionOptional);
    const std::uint32_t ports = lilv_plugin_get_num_ports(plugin);
    std::vector<float> controls(ports, 0.0f);
    std::vector<float> mins(ports), maxs(ports), defs(ports);
    lilv_plugin_get_port_ranges_float(plugin, mins.data(), maxs.data(), defs.data());

    // White noise, full scale, the same on every input.
    const std::size_t noise_len = 1u << 16;
    std::vector<float> noise = zq_bench::white_noise(noise_len + block);
    std::vector<std::vector<float>> outs;
    std::vector<std::uint32_t> audio_inputs;
    for (std::uint32_t p = 0; p < ports; ++p) {
        const LilvPort* port = lilv_plugin_get_port_by_index(plugin, p);
        const bool is_input = lilv_port_is_a(plugin, port, input);
        if (lilv_port_is_a(plugin, port, audio)) {
            if (is_input) {
                audio_inputs.push_back(p);
            } else {
                outs.emplace_back(block, 0.0f);
                lilv_instance_connect_port(inst, p, outs.back().data());
            }
        } else if (lilv_port_is_a(plugin, port, control)) {
            const char* sym = lilv_node_as_string(lilv_port_get_symbol(plugin, port));
            float v = std::isnan(defs[p]) ? (std::isnan(mins[p]) ? 0.0f : mins[p]) : defs[p];
            if (auto it = sets.find(sym); it != sets.end()) {
                v = it->second;
                sets.erase(it);
            }
            controls[p] = v;
            lilv_instance_connect_port(inst, p, &controls[p]);
        } else if (lilv_port_has_property(plugin, port, optional)) {
            lilv_instance_connect_port(inst, p, nullptr);
        } else {
            std::fprintf(stderr, "port %u of %s is neither audio nor control\n", p, uri_text);
            return 1;
        }
    }
    for (const auto& [sym, v] : sets) {
        std::fprintf(stderr, "no control port '%s' (value %g ignored)\n", sym.c_str(), static_cast<double>(v));
        return 1;
    }

    lilv_instance_activate(inst);
    std::size_t at = 0;
    auto process = [&](std::uint64_t frames) {
        for (std::uint64_t done = 0; done < frames; done += block) {
            float* in = noise.data() + at;
            for (std::uint32_t p : audio_inputs) {
                lilv_instance_connect_port(inst, p, in);
            }
            lilv_instance_run(inst, block);
            at = (at + block) % noise_len;
        }
    };
    // Past start-up glides and ramps.
    process(static_cast<std::uint64_t>(4.0 * kRate));
    const auto frames = static_cast<std::uint64_t>(seconds * kRate) / block * block;
    double best = 1e300;
    for (int r = 0; r < reps; ++r) {
        const double t0 = thread_seconds();
        process(frames);
        best = std::min(best, thread_seconds() - t0);
    }
    const double ns = best / static_cast<double>(frames) * 1e9;
    std::printf("%s %u %.3f %.1f\n", uri_text, block, ns, (static_cast<double>(frames) / kRate) / best);

    lilv_instance_deactivate(inst);
    lilv_instance_free(inst);
    lilv_node_free(optional);
    lilv_node_free(input);
    lilv_node_free(control);
    lilv_node_free(audio);
    lilv_node_free(uri);
    lilv_world_free(world);
    return 0;
}
