#include "engine/U_TitleSetup.h"

#include "engine/U_TitleSubtitles.h"
#include "engine/U_UserChapters.h"
#include "input/U_av_inputs.h"

namespace vidoria {
namespace fs = std::filesystem;

namespace {

// Subtitle files named like the video (any letter case) go with it, with the settings'
// defaults; the first one becomes the disc's default subtitle when the settings ask.
void AttachCompanionSubtitles(TVideoSegmentstorage& seg, const fs::path& video, const TAuteurSettings& settings,
                              const TLoggingObject& log) {
  for (const char* ext : {".srt", ".idx", ".sub"}) {
    fs::path wanted = video;
    wanted.replace_extension(ext);
    const fs::path found = TSttFile::FindFileAnyCase(wanted);
    if (found.empty() || seg.External_Subts.Contains(found.string())) continue;
    TSttFile probe;
    probe.LogCallback = log.LogCallback;
    probe.SetFileName(found);
    if (probe.FileType() == STTF_NONE || probe.StreamCount() == 0) {
      log.LogFmt(EVT_WARNING, "Skipping subtitle file \"%s\". Reason: Empty or unsupported format", DisplayName(found));
      continue;
    }
    TExternal_Subt& x = seg.External_Subts.Add();
    x.filename = found.string();
    // A VobSub index names its languages; a text file gets the user's.
    const std::string own = probe.FileType() == STTF_SUBIDX ? probe.GetStreamLanguage(0) : std::string();
    x.language = own.empty() ? settings.Stt_default_language() : own;
    x.Font = settings.Stt_Default_Font();
    x.Relative_position = settings.Stt_relative_position();
    x.Outline_size = 2;
    x.SetStreamCount(probe.StreamCount());
    if (settings.Stt_auto_select_on_dvd() && seg.External_Subts.Default_Stt_file < 0)
      seg.External_Subts.SetDefaultSubtitle(static_cast<int32_t>(seg.External_Subts.Count() - 1),
                                            probe.StreamByOrdinal(0), true);
  }
}

}  // namespace

TVideoSegmentstorage* MakeSegment(const fs::path& file, const TAuteurSettings& settings,
                                  TVideo_segments_collection& project, TMenuStorage& menu, const TLoggingObject& log) {
  TAv_input_file input;
  input.LogCallback = log.LogCallback;
  input.Cluster.LoadSpannedSet(file);
  if (input.Cluster.Count() == 0) {
    log.LogFmt(EVT_ERROR, "File \"%s\" not found", DisplayName(file));
    return nullptr;
  }
  if (!input.Open()) return nullptr;
  if (!input.Facts().HasVideo) {
    log.LogFmt(EVT_ERROR, "File \"%s\" has no video stream; a DVD title needs one", DisplayName(file));
    return nullptr;
  }
  input.AnalyseSync();
  if (input.ContainerDuration() == kNoTime || input.ContainerDuration() <= 0) input.ScanDuration();

  const bool first = project.Empty();
  TVideoSegmentstorage& seg = project.Add();
  TAvFileCluster& fc = seg.FileSet.Add();
  fc.Cluster.Assign(input.Cluster);
  fc.format_name = input.FormatName();
  fc.estimated_frame_rate = input.EstimatedFrameRate();
  fc.duration_from_file = input.ContainerDuration() == kNoTime ? 0 : input.ContainerDuration();
  fc.duration_from_user = input.Duration();
  fc.Sync_Ok = input.SyncOk();
  fc.start_Pts = input.StartPts() == kNoTime ? 0 : input.StartPts();
  fc.start_Dts = input.StartDts() == kNoTime ? 0 : input.StartDts();
  fc.real_frame_rate = input.Facts().FrameRate.num;
  fc.real_frame_rate_base = input.Facts().FrameRate.den;
  fc.display_aspect = static_cast<float>(input.Facts().DisplayAspect);

  AddAutomaticChapters(seg.Chapters, settings, fc.duration_from_user);

  for (int i = 0; i < input.StreamCount(); ++i) {
    AVStream* st = input.Stream(i);
    Tsegment_stream& s = seg.Streams.Add();
    s.stream_index = i;
    s.file_index = 0;
    s.description = input.StreamDescription(i);
    s.stream_type = StreamTypeFromMediaType(st ? st->codecpar->codec_type : -1);
    s.language = settings.Aud_default_language();
    if (st) {
      if (const AVDictionaryEntry* lang = av_dict_get(st->metadata, "language", nullptr, 0)) {
        std::string two = TwoLetterLanguage(lang->value);
        if (!two.empty()) s.language = two;
      }
    }
    s.Pts_Offset = input.PtsOffset(i);
    s.Dts_Offset = input.DtsOffset(i);
    // Only the picture and the sound go onto the disc; the input's own subtitle and
    // data streams cannot be carried over.
    s.discard = s.stream_type != ST_VIDEO && s.stream_type != ST_AUDIO;
  }
  seg.friendly_name = file.stem().string();
  AttachCompanionSubtitles(seg, file, settings, log);

  if (first) {
    menu.Set_present(settings.Auth_Integrate_Menu());
    menu.auto_play = settings.Auth_Auto_Start();
    menu.loop_playback = settings.Auth_Loop_Playback();
    menu.sequential_play = settings.Auth_Sequential_Playback();
    menu.background = settings.Menu_Default_Background();
    menu.Set_entries_per_pages(static_cast<uint8_t>(settings.Menu_Entries_Per_Pages()));
    menu.title = settings.Menu_Default_title();
    menu.Title_Font = settings.Menu_Title_Font();
    menu.Items_Font = settings.Menu_Font();
  }
  return &seg;
}

std::unique_ptr<IConversionTitle> OpenTitle(TVideoSegmentstorage& segment, const TLoggingObject& log,
                                            TMuxSinkFactory sink) {
  if (segment.FileSet.Empty()) return nullptr;
  TAvFileCluster& fc = segment.FileSet[0];
  auto set = std::make_unique<Tav_titleset>();
  set->LogCallback = log.LogCallback;
  AVRational rate{fc.real_frame_rate, fc.real_frame_rate_base};
  if (rate.num <= 0 || rate.den <= 0) rate = {0, 0};
  TAv_input_file* file =
      set->AddFile(fc.Cluster, rate, nullptr, fc.duration_from_user > 0 ? fc.duration_from_user : kNoTime);
  if (!file) return nullptr;
  fc.input_file = file;

  // Each project stream decides its input stream; streams the project does not know
  // (it was made elsewhere) keep their picture and sound.
  int audioOrdinal = 0;
  for (size_t i = 0; i < set->StreamCount(); ++i) {
    TAV_Input_Stream& s = set->Stream(i);
    if (s.InputFile != file) continue;
    const Tsegment_stream* st = nullptr;
    for (const auto& p : segment.Streams)
      if (p.file_index == 0 && p.stream_index == s.StreamIndex) st = &p;
    if (!st) {
      s.Discard = !(s.Type == AVMEDIA_TYPE_VIDEO || s.Type == AVMEDIA_TYPE_AUDIO);
      continue;
    }
    s.Discard = st->discard;
    s.Delay = st->delay;
    file->SetPtsOffset(s.StreamIndex, st->Pts_Offset);
    file->SetDtsOffset(s.StreamIndex, st->Dts_Offset);
    if (s.Type == AVMEDIA_TYPE_AUDIO) {
      const Tsegment_stream* nth = segment.AudioStream(audioOrdinal++);
      if (nth && !nth->language.empty()) s.Language = nth->language.substr(0, 2);
    }
  }

  bool subtitlesOk = true;
  std::shared_ptr<TTitleSubtitles> subtitles = AttachSubtitles(segment, *set, file, log, subtitlesOk);
  if (!subtitlesOk) return nullptr;

  TUserChapterList chapters;
  for (const auto& c : segment.Chapters) chapters.AddMs(c.start);

  TTitleFacts facts;
  facts.name = segment.friendly_name;
  facts.duration_us = set->Duration();
  facts.display_aspect = set->DisplayAspect();
  facts.estimated_fps = set->EstimatedFrameRate();
  facts.frame_rate_num = set->FrameRate().num;
  facts.frame_rate_den = set->FrameRate().den;
  facts.audio_bitrate = set->AudioBitrate();
  facts.audio_bytes = set->AudioBytes();
  facts.input_bytes = set->InputBytes();
  facts.chapter_count = static_cast<int>(chapters.Count()) - 1;
  if (subtitles) facts.subidx_height = subtitles->SubIdxHeight();
  auto title =
      std::make_unique<TTitleConversion>(std::move(set), std::move(chapters), std::move(facts), std::move(sink));
  if (subtitles) title->SetSubtitlePalette(subtitles->Palette());
  return title;
}

TTitleOpener MakeTitleOpener(TMuxSinkFactory sink) {
  return [sink](TVideoSegmentstorage& segment, const TLoggingObject& log) { return OpenTitle(segment, log, sink); };
}

}  // namespace vidoria
