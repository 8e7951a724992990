#include "profile/ProfileCorpus.h"

#include <cstdio>

namespace orv::test::profile {

namespace {

using Kind = Operation::Kind;

// The absence mark the settings reader uses as the default of an integer.
constexpr std::int32_t kAbsent = 16777215;

Operation Get(const char* section, const char* key, std::size_t size = 256,
              const char* defaultValue = "dflt")
{
  return {Kind::GetString, section, key, defaultValue, size};
}

Operation Int(const char* section, const char* key, std::int32_t defaultNumber = kAbsent)
{
  return {Kind::GetInt, section, key, "", 0, defaultNumber};
}

Operation Write(const char* section, const char* key, const char* value)
{
  return {Kind::WriteString, section, key, value};
}

Operation Has(const char* section)
{
  return {Kind::SectionHasKeys, section};
}

const std::string kLong300(300, 'v');
// 254 single bytes and one double-byte character: a 256-byte buffer ends in
// the middle of that character.
const std::string kSplitAtTheCut = std::string(254, 'a') + "ア";

std::vector<Case> MakeCorpus()
{
  std::vector<Case> cases;
  cases.push_back({"no file: reads give the defaults, writes create file, section and key",
                   std::nullopt,
                   {Get("Conf", "OrvDir"), Get("Conf", "OrvDir", 3), Get("Conf", "OrvDir", 1),
                    Int("Conf", "Timeout", 60), Int("Conf", "Timeout", -1), Has("Conf"),
                    Write("AccountData0", "KivoraID", "player"), Write("Conf", "LastGID", "0"),
                    Write("Conf", "OrvDir", "C:\\Program Files\\Kivora\\Orvland"),
                    Write("AccountData0", "Password", "secret"), Get("conf", "orvdir"),
                    Has("Conf"), Has("AccountData1")}});

  cases.push_back({"CR LF file: names in any case, replacement in place, new keys",
                   "[Conf]\r\nLastGID=3\r\nOrvDir=C:\\Orv\r\nLogging=1\r\n[AccountData0]\r\n"
                   "KivoraID=player\r\n",
                   {Get("Conf", "OrvDir"), Get("CONF", "orvdir"), Int("conf", "LASTGID"),
                    Get("AccountData0", "KivoraID"), Write("conf", "ORVDIR", "D:\\Games"),
                    Write("Conf", "Timeout", "30"), Write("AccountData0", "KivoraID", "player"),
                    Write("ACCOUNTDATA0", "password", "x"), Get("Conf", "OrvDir"),
                    Get("Conf", "Timeout")}});

  cases.push_back({"LF file: an unchanged value leaves it alone, a change writes it in CR LF",
                   "[Conf]\nA=1\nB=two\n\n[Other]\nC=3\n",
                   {Get("Conf", "A"), Get("Conf", "B"), Get("Other", "C"), Write("Conf", "A", "1"),
                    Write("conf", "a", " 1"), Write("Conf", "B", "2"),
                    Write("Conf", "D", "4"), Write("New", "E", "5")}});

  cases.push_back({"quotes and blanks around values",
                   "[S]\r\n  A  =  \"quoted value\"  \r\nB='single'\r\nC=\"unbalanced\r\n"
                   "D=\"mixed'\r\nE=\"\"\r\nF=\"a\" b\"\r\nG=\t spaced  value \t\r\nH=\"\r\n"
                   "I=\"12\"\r\nJ= \"x\"\r\n",
                   {Get("S", "A"), Get("S", "  A  "), Get("S", "B"), Get("S", "C"), Get("S", "D"),
                    Get("S", "E"), Get("S", "F"), Get("S", "G"), Get("S", "H"), Get("S", "I"),
                    Get("S", "J"), Get("S", "A", 13), Get("S", "A", 14), Get("S", "A", 12),
                    Get("S", "B", 7), Get("S", "B", 8), Int("S", "I"), Int("S", "E"),
                    Write("S", "A", "plain"), Write("S", "G", "  lead and trail  "),
                    Write("S", "K", "\"quoted\""), Get("S", "G"), Get("S", "K"),
                    Write(" S ", " L ", "blanks around the names")}});

  cases.push_back({"duplicate sections and keys",
                   "[Conf]\r\nA=1\r\nA=2\r\n[Other]\r\nB=x\r\n[conf]\r\nA=3\r\nB=4\r\n"
                   "[Dup]\r\n[dup]\r\ny=2\r\n",
                   {Get("Conf", "A"), Get("Conf", "B"), Int("Conf", "B", -7), Has("conf"),
                    Has("Dup"), Get("Dup", "y"),
                    Write("Conf", "A", "10"), Write("Conf", "B", "40"), Write("Conf", "C", "5")}});

  cases.push_back({"missing section and key; sections without keys",
                   "[Conf]\r\nLogging=1\r\n\r\n[Empty]\r\n\r\n[Comment]\r\n;Key=1\r\n[Last]\r\n",
                   {Get("Other", "Logging"), Get("Conf", "OrvDir"), Get("Conf", "OrvDir", 256, ""),
                    Int("Conf", "Timeout", 60), Int("Other", "Logging", -1), Has("Conf"),
                    Has("Empty"), Has("Comment"), Has("Last"), Has("Missing"),
                    Write("Empty", "k", "v"), Write("Last", "k", "v"), Has("Empty")}});

  cases.push_back({"values of 255 bytes and more",
                   "[Conf]\r\nHome=" + kLong300 + "\r\nSplit=" + kSplitAtTheCut +
                       "\r\nDigits=000000000000000000000000000000001234\r\n",
                   {Get("Conf", "Home"), Get("Conf", "Home", 300), Get("Conf", "Home", 301),
                    Get("Conf", "Home", 1000), Get("Conf", "Split"), Get("Conf", "Split", 257),
                    Int("Conf", "Digits"), Write("Conf", "Other", kLong300.c_str()),
                    Get("Conf", "Other")}});

  cases.push_back({"replacement in place: other entries keep their order, blanks and blank lines go",
                   "; written by hand\r\n[Other]\r\nLastGID=keep me\r\n\r\n[CONF]\r\n"
                   "  lastgid = 7   \r\nUnknown = x \r\n   \r\n# not a comment\r\n[Tail]\r\n"
                   "z=1\r\n",
                   {Write("Conf", "LastGID", "8"), Write("Conf", "Timeout", "30"),
                    Write("Tail", "z", "2"), Get("Conf", "# not a comment"),
                    Get("Other", "LastGID")}});

  cases.push_back({"an empty value",
                   "[Conf]\r\nHome=\r\nOrvDir=  \r\n",
                   {Get("Conf", "Home"), Get("Conf", "OrvDir"), Int("Conf", "Home"),
                    Has("Conf"), Write("Conf", "Logging", ""), Write("Conf", "OrvDir", "x"),
                    Write("Conf", "OrvDir", ""), Get("Conf", "OrvDir"),
                    Int("Conf", "Logging", 3)}});

  cases.push_back({"a key without an equals sign",
                   "[Conf]\r\nTimeout\r\nLogging=1\r\n[Bare]\r\nword\r\n",
                   {Get("Conf", "Timeout"), Int("Conf", "Timeout", 60), Has("Bare"),
                    Write("Conf", "Timeout", "5"), Get("Conf", "Timeout")}});

  cases.push_back({"section headers with blanks and text after the bracket",
                   "[ Conf ]\r\nA=1\r\n  [Other]  \r\nB=2\r\n[Third] ; note\r\nC=3\r\n"
                   "[Fourth\r\nD=4\r\n[Fifth]]\r\nE=5\r\n",
                   {Get("Conf", "A"), Get(" Conf ", "A"), Get("Other", "B"), Get("Third", "C"),
                    Get("Fourth", "D"), Get("Fifth", "E"), Get("Fifth]", "E"),
                    Write("Other", "B", "20")}});

  cases.push_back({"comments",
                   ";top=0\r\n[Conf]\r\n;Timeout=2\r\nLogging=1\r\n  ; indented=3\r\n",
                   {Get("Conf", "Timeout"), Get("Conf", ";Timeout"), Get("Conf", "; indented"),
                    Write("Conf", "Timeout", "9")}});

  cases.push_back({"Shift_JIS names and values",
                   "[ゲーム]\r\nフォルダ=C:\\ゲーム\\ソフト\r\n[Conf]\r\nOrvDir=C:\\表示\r\n",
                   {Get("ゲーム", "フォルダ"), Get("Conf", "OrvDir"), Get("Conf", "OrvDir", 6),
                    Get("Conf", "OrvDir", 5), Write("Conf", "OrvDir", "D:\\ソフト\\ゾーン"),
                    Write("ゾーン", "名前", "値"), Get("ゾーン", "名前")}});

  cases.push_back({"last line without a line end",
                   "[Conf]\r\nA=1",
                   {Get("Conf", "A"), Write("Conf", "B", "2"), Write("Conf", "A", "3")}});

  cases.push_back({"LF file whose last line has no line end",
                   "[Conf]\nA=1\n[Tail]\nz=1",
                   {Write("Other", "k", "v")}});

  cases.push_back({"integer reads",
                   "[N]\r\nHex=0x10\r\nUpperHex=0X1f\r\nNeg=-5\r\nJunk= 12abc\r\nEmpty=\r\n"
                   "Plus=+8\r\nWord=abc\r\nBig=4294967297\r\nMark=16777215\r\nZeros=010\r\n"
                   "Spaced=- 3\r\nOct=0o17\r\nBin=0b101\r\nNegHex=-0x10\r\n",
                   {Int("N", "Hex"), Int("N", "UpperHex"), Int("N", "Neg"), Int("N", "Junk"),
                    Int("N", "Empty"), Int("N", "Empty", -1), Int("N", "Missing"), Int("N", "Plus"),
                    Int("N", "Word"), Int("N", "Big"), Int("N", "Mark"), Int("N", "Zeros"),
                    Int("N", "Spaced"), Int("N", "Oct"), Int("N", "Bin"), Int("N", "NegHex"),
                    Int("Missing", "Hex", -3)}});

  cases.push_back({"defaults: trailing blanks and quotes",
                   "[S]\r\nk=v\r\n",
                   {Get("S", "x", 256, "dflt  "), Get("S", "x", 256, "  dflt"),
                    Get("S", "x", 256, "\"q\""), Get("S", "x", 256, "d\t "),
                    Get("Missing", "x", 256, "dflt  ")}});

  cases.push_back({"names written with blanks create trimmed sections and keys", std::nullopt,
                   {Write(" New ", " k ", " v "), Get("New", "k"), Write("new", "k", "w"),
                    Write("\tTab\t", "\tkey\t", "x")}});

  cases.push_back({"lines without a name",
                   "[S]\r\n=x\r\n=y\r\nk=1\r\n=z\r\n[T]\r\n=only\r\n",
                   {Get("S", ""), Has("S"), Has("T"), Write("S", "k", "2")}});

  cases.push_back({"bare CR line ends and other control characters",
                   "[Conf]\rA=1\rB=2\r\r\n\n[Next]\n\rC=3\x1A\r\nD=\v4\f\r\n",
                   {Get("Conf", "A"), Get("Conf", "B"), Get("Next", "C"), Get("Next", "D"),
                    Write("Conf", "A", "5")}});

  cases.push_back({"full-width blanks and letters",
                   "[Ｃｏｎｆ]\r\n　Ｋｅｙ　=　値　\r\nΑ=greek\r\n",
                   {Get("ｃｏｎｆ", "ｋｅｙ"), Get("Ｃｏｎｆ", "Ｋｅｙ"), Get("Ｃｏｎｆ", "α"),
                    Write("Ｃｏｎｆ", "Ｋｅｙ", "　新")}});

  cases.push_back({"a write into a missing folder fails and creates nothing", std::nullopt,
                   {Write("Conf", "A", "1"), Get("Conf", "A")},
                   true});
  return cases;
}

// The bytes as one line of the transcript: printable ASCII stands as it is,
// everything else as an escape, so that a difference shows byte for byte.
std::string Escape(const std::string& bytes)
{
  std::string text;
  for (const char c : bytes) {
    const auto byte = static_cast<unsigned char>(c);
    if (byte == '\r')
      text += "\\r";
    else if (byte == '\n')
      text += "\\n";
    else if (byte == '\\')
      text += "\\\\";
    else if (byte >= 0x20 && byte < 0x7F)
      text += c;
    else {
      char escaped[8];
      std::snprintf(escaped, sizeof escaped, "\\x%02X", byte);
      text += escaped;
    }
  }
  return text;
}

bool WriteBytes(const std::string& path, const std::string& bytes)
{
  std::FILE* file = std::fopen(path.c_str(), "wb");
  if (!file)
    return false;
  const bool written = std::fwrite(bytes.data(), 1, bytes.size(), file) == bytes.size();
  return std::fclose(file) == 0 && written;
}

std::string FileLine(const std::string& path)
{
  const std::optional<std::string> bytes = ReadBytes(path);
  return bytes ? "  file \"" + Escape(*bytes) + "\"\n" : "  file <none>\n";
}

std::string Run(ProfileStore& store, const Operation& operation, const char* path)
{
  const std::string where = "[" + Escape(operation.section) + "] \"" + Escape(operation.key) + "\"";
  switch (operation.kind) {
    case Kind::GetString:
      return "GetString " + where + " default \"" + Escape(operation.text) + "\" size " +
             std::to_string(operation.bufferSize) + " -> \"" +
             Escape(store.GetString(operation.section, operation.key, operation.text,
                                    operation.bufferSize, path)) +
             "\"\n";
    case Kind::GetInt:
      return "GetInt " + where + " default " + std::to_string(operation.defaultNumber) + " -> " +
             std::to_string(static_cast<std::int32_t>(
                 store.GetInt(operation.section, operation.key, operation.defaultNumber, path))) +
             "\n";
    case Kind::WriteString: {
      const bool written =
          store.WriteString(operation.section, operation.key, operation.text, path);
      return "WriteString " + where + " \"" + Escape(operation.text) + "\" -> " +
             (written ? "true" : "false") + "\n" + FileLine(path);
    }
    case Kind::SectionHasKeys:
      return "SectionHasKeys [" + Escape(operation.section) + "] -> " +
             (store.SectionHasKeys(operation.section, path) ? "true" : "false") + "\n";
  }
  return "unknown operation\n";
}

}  // namespace

const std::vector<Case>& Corpus()
{
  static const std::vector<Case> corpus = MakeCorpus();
  return corpus;
}

std::string RunCorpus(ProfileStore& store, const std::string& folder, char separator)
{
  std::string transcript;
  int number = 0;
  for (const Case& profileCase : Corpus()) {
    // Each case on a file of its own, so that one case's leftovers cannot
    // reach the next.
    std::string path = folder + separator;
    if (profileCase.inMissingFolder)
      path += std::string("missing") + separator;
    path += "case" + std::to_string(++number) + ".ini";
    transcript += "== " + std::to_string(number) + ": " + profileCase.name + "\n";
    if (profileCase.content && !WriteBytes(path, *profileCase.content))
      transcript += "  cannot write the starting file\n";
    transcript += FileLine(path);
    for (const Operation& operation : profileCase.operations)
      transcript += Run(store, operation, path.c_str());
  }
  return transcript;
}

std::string GoldenSourcePath()
{
  // The compiler names this source by its absolute path: the golden file
  // lies beside it.
  std::string path = __FILE__;
  for (char& c : path)
    c = c == '\\' ? '/' : c;
  return path.substr(0, path.rfind('/') + 1) + "golden.txt";
}

std::optional<std::string> ReadBytes(const std::string& path)
{
  std::FILE* file = std::fopen(path.c_str(), "rb");
  if (!file)
    return std::nullopt;
  std::string content;
  char chunk[8192];
  std::size_t count;
  while ((count = std::fread(chunk, 1, sizeof chunk, file)) > 0)
    content.append(chunk, count);
  std::fclose(file);
  return content;
}

std::string FirstDifference(const std::string& expected, const std::string& actual)
{
  // A checkout may have given the golden file CR LF line ends; the
  // transcript itself never holds a raw CR.
  auto lines = [](const std::string& text) {
    std::vector<std::string> result;
    std::string line;
    for (const char c : text) {
      if (c == '\n') {
        result.push_back(line);
        line.clear();
      } else if (c != '\r') {
        line += c;
      }
    }
    if (!line.empty())
      result.push_back(line);
    return result;
  };
  const std::vector<std::string> want = lines(expected);
  const std::vector<std::string> got = lines(actual);
  for (std::size_t i = 0; i < want.size() || i < got.size(); ++i) {
    const std::string wantLine = i < want.size() ? want[i] : "<end of transcript>";
    const std::string gotLine = i < got.size() ? got[i] : "<end of transcript>";
    if (wantLine == gotLine)
      continue;
    // The case a line belongs to makes the difference readable.
    std::string heading;
    for (std::size_t j = i + 1; j-- > 0;) {
      if (j < want.size() && want[j].rfind("== ", 0) == 0) {
        heading = want[j];
        break;
      }
    }
    return "line " + std::to_string(i + 1) + " (case " + heading + ")\n  expected: " + wantLine +
           "\n  actual:   " + gotLine;
  }
  return {};
}

std::string CompareWithGolden(const std::string& goldenPath, const std::string& transcript,
                              const std::string& savedAs)
{
  const std::optional<std::string> golden = ReadBytes(goldenPath);
  std::string difference = golden ? FirstDifference(*golden, transcript)
                                  : "cannot read the golden transcript " + goldenPath;
  if (!difference.empty() && WriteBytes(savedAs, transcript))
    difference += "\n  the whole transcript is in " + savedAs;
  return difference;
}

}  // namespace orv::test::profile
