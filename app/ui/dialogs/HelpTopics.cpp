#include "HelpTopics.hpp"

#include <QRegularExpression>

namespace corvaline::ui {

namespace {

HelpSection section(const char* title, const char* body) {
    return {QString::fromUtf8(title), QString::fromUtf8(body)};
}

HelpTopic topic(const char* id, const char* title, const char* icon, const char* summary,
                std::vector<HelpSection> sections) {
    return {QString::fromUtf8(id), QString::fromUtf8(title), QString::fromUtf8(icon),
            QString::fromUtf8(summary), std::move(sections)};
}

std::vector<HelpTopic> makeTopics() {
    std::vector<HelpTopic> topics;
    topics.push_back(topic(
        "start", "Getting Started", "play.circle",
        "From the original recording to a finished WAV, entirely on your Linux computer.",
        {
            section("1. Import your recording",
                    "Click Import in the title bar, choose Import Audio or Video... from the "
                    "File menu (Ctrl+O), or drag files or whole folders from your file manager "
                    "onto the window. Corvaline reads WAV and Broadcast WAV, RF64 and BW64, "
                    "AIFF, CAF, FLAC, Ogg, MP3 and AAC files, the audio tracks of MP4, MOV and "
                    "M4V videos, and PCM audio of MXF camera files. Each file appears in the "
                    "SESSION list on the left; the first one you import is selected. Open Test "
                    "Recording loads a short synthetic four-channel recording to try things out."),
            section("2. Install a restoration model",
                    "Restoration models are downloaded once and run on your own computer. Open "
                    "Settings (Ctrl+,) and click the install button of a model in the MODEL "
                    "LIBRARY. DeepFilterNet 3 is the default and the smallest download. Every "
                    "file is checked against a published SHA-256 checksum before it is used. "
                    "You can skip this step entirely: the EQ, dynamics and loudness tools work "
                    "without any model."),
            section("3. Test a short passage",
                    "Switch Preview range to Selection and drag across the waveform to mark a "
                    "few seconds of typical dialogue, or type the Start and End times. Turn on "
                    "Voice Isolation, pick the model, and click Preview Selection (Ctrl+R). "
                    "Only the selection, with a little context on each side, goes through the "
                    "model, so you can judge the result in seconds instead of waiting for the "
                    "whole recording."),
            section("4. Listen and compare",
                    "Press Space to play. The Original / Processed picker in the transport "
                    "switches what you hear without stopping: Original is the untouched "
                    "recording, Processed is the restoration with your current EQ and dynamics. "
                    "Turn on Level match to hear both at the same average loudness, so that the "
                    "louder version does not win just because it is louder."),
            section("5. Finish the sound",
                    "Use the inspector on the right to shape the voice: the eight-band "
                    "Equalizer, the Compressor and the Limiter under Tone & Dynamics, the "
                    "Dialogue Leveler and Lav Bleed under Dialogue & Lav Mics, and LUFS "
                    "Normalization under Loudness. These changes are heard immediately while "
                    "playing and never need the model to run again."),
            section("6. Render and export",
                    "When the settings are right, click Render Full File (Ctrl+Shift+R). The "
                    "whole recording is restored and finished in the background; the footer "
                    "shows progress and a cancel button. Then choose Export WAV (Ctrl+E), pick "
                    "a name and a folder, and Corvaline writes a new WAV with the same channels, "
                    "timeline and recorder metadata as the source. The source file is never "
                    "changed."),
        }));
    topics.push_back(topic(
        "media", "Audio & Video", "film", "Recorder files, camera sound, and multichannel audio.",
        {
            section("Supported inputs",
                    "Corvaline opens WAV and Broadcast WAV, RF64 and BW64 (files beyond the "
                    "4 GB limit of plain WAV), AIFF, CAF, FLAC, Ogg Vorbis, MP3 and AAC or "
                    "ALAC in M4A, from mono up to 128 channels and at any common sample rate. "
                    "Files are decoded with libsndfile and, for the formats it cannot read, "
                    "with FFmpeg's libraries. A file that cannot be read is named in an alert "
                    "with the reason; the other files of the same import still open. A "
                    "recording cut short (a recorder that stopped mid-take leaves a header "
                    "promising more audio than the file holds) opens with the part that is "
                    "present, and the alert says how much of it that is."),
            section("Audio from video",
                    "For MP4, MOV and M4V videos Corvaline extracts every audio track into its "
                    "working folder and places it on the movie's timeline, so silence before a "
                    "track starts is kept and the export lines up with the picture. Each track "
                    "contributes its own channels: a video with a stereo mix and two mono lav "
                    "tracks appears as four channels. The video file itself is only read."),
            section("Canon MXF camera audio",
                    "MXF files from cameras carry their sound as PCM tracks. Corvaline reads "
                    "them with the ffprobe and ffmpeg programs installed with it (in "
                    "share/corvaline/MXF next to the program, never the ones found on your "
                    "PATH), keeps each track's channels in order and shows the file in the "
                    "session like any other recording. Compressed camera audio in MXF is "
                    "refused with a message that says so."),
            section("Recorder metadata",
                    "Production recorders write a bext chunk (originator and time reference), "
                    "an iXML chunk (scene, take and track names) and sometimes an axml chunk. "
                    "Corvaline shows the track names on the channel rows, marks such files "
                    "with the BWF / iXML badge, lists scene, take and time reference under FILE "
                    "DETAILS, and copies these chunks unchanged into every full-file render and "
                    "export, so your editing software still finds the timecode."),
            section("Sessions",
                    "A session is the list of files you imported in this run. Select a file "
                    "in the SESSION list to work on it; the processing settings are shared by "
                    "all files, the channel choices belong to the selected file. The remove "
                    "button takes the selected file out of the session without touching it on "
                    "disk. Sessions are not saved: when you quit, the working folder with every "
                    "preview and extracted track is deleted."),
        }));
    topics.push_back(topic(
        "models", "Models & Installation", "arrow.down.circle",
        "Choose a model for the problem you actually hear.",
        {
            section("Sidon CPU Reference",
                    "Sidon restores speech recorded in noise and reverberant rooms by "
                    "re-synthesising the voice. The CPU Reference variant runs the published "
                    "model in full precision through a private Python runtime that Corvaline "
                    "installs for it (about 5 GB of free space is needed). It is the slowest "
                    "choice and the most faithful Sidon result; because the model is generative "
                    "the voice may change, so always compare with the original."),
            section("Sidon FP16",
                    "Sidon FP16 runs the same restoration in process on the CPU through "
                    "TorchScript, without Python. On Linux it uses the reference model's "
                    "published TorchScript files, downloaded and verified when you install it. "
                    "Choose Standard or Careful processing in the inspector; Careful costs "
                    "about twice the CPU time."),
            section("DeepFilterNet 3 and 2",
                    "DeepFilterNet removes steady and changing background noise from speech "
                    "while keeping the voice itself; it does not re-synthesise it. It runs as "
                    "a small native program at 48 kHz full band and is the quickest model. The "
                    "Noise reduction control sets how many decibels of noise it may remove. "
                    "Version 3 is the default; version 2 is offered to compare artifacts."),
            section("HTDemucs",
                    "HTDemucs separates vocals from music. Use it when dialogue sits on top of "
                    "music or a busy background that a speech denoiser would smear. It needs "
                    "the Demucs audio runtime, a private Python installation of about 650 MB "
                    "that the settings page installs (2 GB of free space required)."),
            section("Manage downloads",
                    "Settings lists every model with its size and source. Install downloads "
                    "the model and the runtime it needs, verifies each file's SHA-256 checksum "
                    "and shows progress; the cancel button stops it and leaves nothing half "
                    "installed. Only one installation runs at a time. Remove deletes a model; "
                    "runtimes stay. Model Folder opens ~/.local/share/Corvaline (or "
                    "$XDG_DATA_HOME/Corvaline) in your file manager."),
        }));
    topics.push_back(topic(
        "sidon", "Sidon Adjustments", "waveform",
        "Balance restoration strength against the speaker's original voice.",
        {
            section("Original Mix",
                    "Original mix blends the untouched recording back under the Sidon "
                    "restoration before EQ and dynamics. At 0% you hear the cleaned voice only, "
                    "at 100% only the original. A small amount, 10 to 20%, often restores "
                    "breath and natural texture that a generative model removes. The readout "
                    "shows the same value as the cleaned share."),
            section("Adjust during playback",
                    "The original mix, EQ, compressor, limiter and loudness settings are "
                    "applied live while you listen, and they never require the model to run "
                    "again: Corvaline keeps the restoration of the rendered passage and "
                    "finishes it anew with your current settings."),
            section("Standard and Careful processing",
                    "Sidon works on ten-second windows. Standard advances eight seconds at a "
                    "time with one second of context before each window. Careful advances four "
                    "seconds with two seconds of context and blends the speech features where "
                    "windows overlap, which can smooth the seams in long words at about twice "
                    "the CPU work. Careful is experimental: preview and compare. Changing the "
                    "quality needs a new render."),
            section("Reference processing",
                    "Sidon CPU Reference runs the model in full precision. A selection is "
                    "rendered with up to four seconds of context on each side (three for "
                    "Careful, one second for the other models), which is then cut away, so the "
                    "passage you hear matches what the full-file render produces."),
            section("Distant-microphone interviews",
                    "For interviews recorded from a distance or in an echoing room, start with "
                    "the preset Interview · Original 15%, then move Original mix until the "
                    "voice sounds natural. Process only the channels that need it and leave "
                    "clean lav tracks unprocessed."),
            section("Voice and stereo artifacts",
                    "Sidon restores each processed channel separately, as mono. Two channels "
                    "of a stereo pair may therefore differ slightly after restoration; process "
                    "the stereo pair only when both channels need it, or raise Original mix. "
                    "If a voice changes character, lower the restoration with Original mix or "
                    "switch to DeepFilterNet."),
        }));
    topics.push_back(topic(
        "preview", "Preview & Comparison", "rectangle.dashed",
        "Audition a short selection before waiting for the whole recording.",
        {
            section("Set a selection",
                    "Set Preview range to Selection: a ten-second selection starts at the "
                    "playhead. Choose the selection tool and drag across a waveform in either "
                    "direction to mark another passage, or type Start and End in seconds. The "
                    "playhead tool moves the playhead with a click. Full File removes the "
                    "selection."),
            section("Original and Processed",
                    "The monitor picker chooses what you hear. Original plays the recording "
                    "without any processing. Processed plays the restored passage through the "
                    "current finishing chain; with Voice Isolation off it plays the recording "
                    "through the EQ and dynamics only. The label next to the time says exactly "
                    "what is playing."),
            section("Repeat and level match",
                    "The repeat button loops the selected passage. Level match measures the "
                    "RMS level of the rendered passage and of the original and plays the "
                    "original at the same level, so the comparison is about sound, not "
                    "loudness. Any live DSP edit turns matching off; render again to refresh "
                    "it. Exported audio is never level matched."),
            section("When to render again",
                    "A restoration stays valid while the model, the noise reduction, the "
                    "Sidon quality, the processed channels and the range stay the same. When "
                    "one of them changes, the footer shows AI SETTINGS CHANGED and the "
                    "inspector notes that you are hearing the last restoration. EQ, dynamics "
                    "and the original mix never need a new render."),
        }));
    topics.push_back(
        topic("dsp", "EQ & Dynamics", "slider.horizontal.3",
              "Shape and control the restored voice while listening.",
              {
                  section("Eight-band parametric EQ",
                          "Each of the eight bands is a high-pass, low shelf, bell, high shelf, "
                          "low-pass or notch filter with its own frequency, gain and Q. Drag a "
                          "band's handle on the curve to change its frequency and gain, or use the "
                          "controls below it. The curve shows the sum of all enabled bands. The "
                          "reset button restores the dialogue defaults: a 70 Hz high-pass, gentle "
                          "shelves and four bells at 0 dB."),
                  section("Compression",
                          "The compressor is linked across the processed channels, so the image "
                          "does not shift. Threshold sets where it starts, Ratio how strongly it "
                          "acts above it, Knee how gradually, Makeup how much level is added back. "
                          "Attack and Release set how quickly it reacts and recovers. The plot "
                          "shows the static curve and the GR meter the current gain reduction."),
                  section("Limiting and output gain",
                          "The limiter looks 5 ms ahead and keeps the output below the Ceiling. "
                          "With True peak · 4× on it detects intersample peaks on a 4× oversampled "
                          "signal, so the ceiling holds in dBTP after conversion as well. Every "
                          "export is measured again and trimmed if needed. Output gain raises or "
                          "lowers the level before the limiter."),
                  section("Live audition",
                          "Every EQ and dynamics change is applied while the audio plays, with "
                          "short glides instead of clicks. The MONITOR OUTPUT meters and the "
                          "gain-reduction meters follow the sound you hear."),
              }));
    topics.push_back(topic(
        "dialogue", "Dialogue & Lav Mics", "person.2.wave.2",
        "Ride interview levels and reduce a quieter copy on the other microphone.",
        {
            section("Set up the mic pair",
                    "Lav Bleed works on two channels: choose them as Mic A and Mic B. Both "
                    "must be processed tracks of the same recording and different from each "
                    "other; the status line below tells you when the pair cannot be used."),
            section("Two lavs and camera reference tracks",
                    "Two Lavs + Camera sets up the common interview layout in one click: "
                    "channels 1 and 2 are the lavs and are processed, the remaining camera "
                    "microphones are muted in monitoring and left untouched in the export, "
                    "Interview Automix is switched on, and the detector balance is analysed. "
                    "It needs a recording with at least four channels."),
            section("How Lav Bleed works",
                    "When one person speaks, the other person's lav picks up a quieter, "
                    "delayed copy of the voice. Correlated Spill detects that copy by "
                    "comparing the two microphones and turns the quieter one down while it "
                    "only carries spill. Interview Automix decides by level alone, which also "
                    "works when the phase between the microphones is unreliable."),
            section("Interview Automix controls",
                    "Speech hold keeps a microphone open briefly after its speaker stops. "
                    "Maximum attenuation limits how far the other microphone is lowered, "
                    "Minimum difference sets how much louder the active microphone must be, "
                    "and Detection floor ignores quiet passages. Close fade sets how fast a "
                    "microphone closes; in Correlated Spill the same control is Fade back."),
            section("Balance the detector",
                    "If one lav is much louder than the other, the detector favours it. "
                    "Analyze Lav Balance measures both microphones while both people talk and "
                    "sets Mic A and Mic B detector trim. You can adjust the trims by hand. The "
                    "trims only steer detection, they do not change the level you hear."),
            section("Dialogue leveling",
                    "The Dialogue Leveler rides each processed channel toward the Speech "
                    "target, by no more than Maximum boost up and Maximum cut down. Passages "
                    "below the Speech floor are left alone, so pauses are not pulled up. Ride "
                    "time sets how smoothly it moves. The CH readouts show the gain applied."),
            section("Live preview and export",
                    "Leveler and lav bleed settings are heard live while playing. A selection "
                    "preview measures them over the selected passage only; the full-file "
                    "render and the export use the whole recording."),
        }));
    topics.push_back(topic(
        "loudness", "LUFS & True Peak", "waveform.path",
        "Measure programme loudness and normalize without exceeding the delivery ceiling.",
        {
            section("Normalize a recording",
                    "Turn on LUFS Normalization and choose a target: −23 LUFS (EBU R128 "
                    "broadcast), −18, −16 (online delivery) or a Custom value. Corvaline "
                    "measures the processed programme with EBU R128 gating and applies one "
                    "linked gain so the result reaches the target. To deliver to a named "
                    "standard (EBU R 128, ATSC A/85, ARIB TR-B32, Podcast or Streaming), choose "
                    "it under Delivery standard: it sets the target and the true-peak ceiling, "
                    "and after Measure Processed Audio and after every export the panel says "
                    "whether the sound complies and, if not, why. The export's verdict is "
                    "measured in the written file with a strict true-peak meter."),
            section("Programme scope",
                    "The programme is the full file, or the selected passage when a selection "
                    "is set, over the processed channels at equal weight. Mute and solo in the "
                    "monitor do not change the measurement."),
            section("Read the measurements",
                    "Measure Processed Audio reports the Integrated loudness in LUFS, the "
                    "True peak in dBTP and the Loudness range in LU of the processed sound, "
                    "and the linked gain that normalization would apply. A dash means that "
                    "value could not be measured; Analysis Pending means the settings changed "
                    "since the last measurement."),
            section("When a target cannot be reached",
                    "Normalization never boosts by more than Maximum normalization boost, and "
                    "never so far that the true peak would exceed the ceiling. When either "
                    "limit stops it, the panel shows Peak or boost limit reached. Silence and "
                    "passages shorter than 400 ms receive no boost."),
            section("Live changes and replay",
                    "The normalization gain is calculated when playback starts and at every "
                    "render. Live DSP edits suspend normalization until you play again or "
                    "render, and the panel says Normalization pending replay or render."),
            section("True peak versus sample peak",
                    "A sample peak is the largest sample value. The true peak is the level of "
                    "the waveform between the samples, measured on a 4× oversampled signal; it "
                    "can be higher than the sample peak and is what causes clipping after "
                    "conversion or lossy encoding. Delivery standards give their ceiling "
                    "in dBTP."),
        }));
    topics.push_back(topic(
        "channels", "Channels & Meters", "slider.vertical.3",
        "Keep isolated microphones separate and monitor only what you need.",
        {
            section("Process, Mute, and Solo",
                    "The checkbox of a channel row chooses whether the channel is restored "
                    "and finished; unprocessed channels pass into the export unchanged. M "
                    "mutes a channel and S solos it in the monitor only; neither changes what "
                    "is rendered or exported."),
            section("The monitor mix",
                    "Channels are mixed for listening to your stereo output: with solo active "
                    "you hear only soloed channels, otherwise every channel that is not muted. "
                    "The mix is for monitoring only; every render and export keeps the "
                    "source's channel count and order."),
            section("Reading meters",
                    "The small meter on each channel row and the MONITOR OUTPUT meters show "
                    "the level in dBFS, from −60 dBFS up to full scale. The bar turns orange "
                    "at −1 dBFS and above. −inf means silence. While stopped the meters show "
                    "the level at the playhead."),
        }));
    topics.push_back(topic(
        "export", "Export & Privacy", "square.and.arrow.up",
        "Finish a complete recording without touching the source.",
        {
            section("Full-file export",
                    "Export WAV is available after Render Full File, while that render still "
                    "matches your settings. Corvaline suggests the source name followed by "
                    "_clean.wav, refuses to write over the source, writes into a hidden file "
                    "beside the destination and moves it into place only when it is complete, "
                    "so a failed or cancelled export never leaves a partial file."),
            section("32-bit float or 24-bit PCM",
                    "EXPORT FORMAT chooses the bit depth. 32-bit float keeps every value, "
                    "even above full scale. 24-bit PCM is what most editors expect; if the "
                    "float render goes above 0 dBFS the export stops and asks you to enable the "
                    "limiter or lower the output gain. A plain WAV is limited to 4 GB; split "
                    "longer recordings before export."),
            section("Video delivery",
                    "Audio taken from a video is exported as a WAV on the movie's timeline, "
                    "starting at the movie's start, so it lines up when you place it under the "
                    "picture in your editor. Corvaline does not write video files."),
            section("Offline processing",
                    "Nothing you import leaves your computer. Models and runtimes are "
                    "downloaded once, verified and run locally. Previews and extracted tracks "
                    "live in a private folder under /tmp (or $TMPDIR) that is deleted when "
                    "Corvaline quits; only the model folder is kept between launches. "
                    "Corvaline keeps no log."),
        }));
    topics.push_back(topic(
        "troubleshoot", "Troubleshooting", "wrench.and.screwdriver",
        "Common reasons a preview or export is unavailable.",
        {
            section("The model is not installed",
                    "If a render stops with a message asking you to download a model or "
                    "runtime, Corvaline opens Settings: install the model chosen in the "
                    "inspector, or the runtime named in the message, and render again. "
                    "RUNTIME REQUIRED under the model picker shows the same problem in "
                    "advance."),
            section("I cannot hear a difference",
                    "Check that the monitor picker is on Processed and that the channel you "
                    "listen to is processed and not muted. With Voice Isolation on, render "
                    "the selection first; the footer shows AI PREVIEW PENDING until you do. "
                    "Level match can make a restoration seem quieter than you expect."),
            section("The voice sounds unnatural",
                    "Lower the noise reduction of DeepFilterNet, raise Original mix for "
                    "Sidon, or try another model on the same selection. Extreme EQ boosts and "
                    "high compression ratios also make a voice sound processed."),
            section("Video import fails",
                    "Corvaline decodes video sound with FFmpeg. If the message says that "
                    "FFmpeg cannot decode the audio codec, convert the audio with another tool "
                    "first. A video without audio tracks cannot be imported."),
            section("Export is unavailable",
                    "Export needs a full-file render that matches the current settings and "
                    "channels. Render Full File again after changing the model, the processed "
                    "channels or the Sidon quality. A selection preview cannot be exported."),
            section("Contact",
                    "Questions and reports go to Kestrio support at support@kestrio.example; "
                    "news and updates are published at https://kestrio.example/corvaline. "
                    "Please include the Corvaline version from the About window and the text "
                    "of any message you saw."),
        }));
    return topics;
}

}  // namespace

const std::vector<HelpTopic>& HelpTopic::all() {
    static const std::vector<HelpTopic> topics = makeTopics();
    return topics;
}

const HelpTopic* HelpTopic::find(const QString& id) {
    for (const auto& topic : all()) {
        if (topic.id == id) return &topic;
    }
    return nullptr;
}

QString foldForSearch(const QString& text) {
    const QString decomposed = text.normalized(QString::NormalizationForm_KD);
    QString folded;
    folded.reserve(decomposed.size());
    for (const QChar c : decomposed) {
        const auto category = c.category();
        if (category == QChar::Mark_NonSpacing || category == QChar::Mark_SpacingCombining ||
            category == QChar::Mark_Enclosing)
            continue;
        folded.append(c);
    }
    return folded.toCaseFolded();
}

QString HelpTopic::searchableText() const {
    QStringList parts{title, summary};
    for (const auto& s : sections) {
        parts << s.title << s.body;
    }
    return parts.join(QLatin1Char(' '));
}

bool HelpTopic::matches(const QString& query) const {
    static const QRegularExpression whitespace(QStringLiteral("\\s+"));
    const QStringList words = query.split(whitespace, Qt::SkipEmptyParts);
    if (words.isEmpty()) return true;
    const QString text = foldForSearch(searchableText());
    for (const auto& word : words) {
        if (!text.contains(foldForSearch(word))) return false;
    }
    return true;
}

std::vector<const HelpTopic*> matchingTopics(const QString& query) {
    std::vector<const HelpTopic*> result;
    for (const auto& topic : HelpTopic::all()) {
        if (topic.matches(query)) result.push_back(&topic);
    }
    return result;
}

}  // namespace corvaline::ui
