#include "host/message_table.h"

#include <algorithm>
#include <limits>

#include "host/wire.h"
#include "queues/job_query.h"
#include "queues/printer_description.h"
#include "queues/queue_listing.h"
#include "submit/submit_handler.h"
#include "support/error_catalogue.h"
#include "support/identifier.h"

namespace tph {
namespace {

using Kind = MemberKind;
using Layout = PayloadSpec::Layout;
constexpr uint64_t kU16 = std::numeric_limits<uint16_t>::max();
constexpr uint64_t kU32 = std::numeric_limits<uint32_t>::max();

// A label's raster: an object, or its four members in order.
const PayloadSpec kRaster{{{"format", Kind::kText, true},
                           {"base64", Kind::kText, true},
                           {"width_px", Kind::kUnsigned, true, false, kU32},
                           {"height_px", Kind::kUnsigned, true, false, kU32}},
                          Layout::kObjectOrPosition};

// The members every PNG print message opens with, in their order.
std::vector<MemberSpec> png_attempt_members(MemberSpec last) {
  return {{"intent_id", Kind::kText, true},
          {"printer", Kind::kText, true},
          {"title", Kind::kText, true},
          {"copies", Kind::kUnsigned, false, false, kU16},  // absent means 1
          {"media", Kind::kText, false, true},               // absent or null: the queue's own
          {"dpi", Kind::kUnsigned, true, false, kU32},
          last};
}

const PayloadSpec kSubmit{png_attempt_members({"payload", Kind::kObject, true, false, 0, &kRaster}),
                          Layout::kObjectOrPosition};
const PayloadSpec kSubmitDocument{
    png_attempt_members({"pages", Kind::kList, true, false, 0, &kRaster, protocol_limits::kMaxDocumentPages}),
    Layout::kObject};
const PayloadSpec kSubmitRaw{{{"intent_id", Kind::kText, true},
                              {"printer", Kind::kText, true},
                              {"title", Kind::kText, true},
                              {"copies", Kind::kUnsigned, false, false, kU16},
                              {"language", Kind::kText, true},
                              {"base64", Kind::kText, true}},
                             Layout::kObjectOrPosition};
// The query messages check their members themselves, with the errors they
// always answered; a payload of another kind, or one naming a member twice,
// reads as empty.
const PayloadSpec kDescribePrinter{{{"printer"}}, Layout::kLenient};
const PayloadSpec kGetJob{{{"intent_id"}}, Layout::kLenient};
const PayloadSpec kFindJobs{{{"intent_prefix"}, {"limit"}}, Layout::kLenient};
// A watch's lists hold names: values kept as they are, checked by the handler.
const PayloadSpec kWatchName{{}, Layout::kLenient};
const PayloadSpec kWatch{{{"printers", Kind::kList, false, true, 0, &kWatchName, Watch::kMaxPrinters},
                          {"intents", Kind::kList, false, true, 0, &kWatchName, Watch::kMaxIntents}},
                         Layout::kLenient};

RasterPayload raster_of(BoundPayload& b) {
  RasterPayload r;
  r.format = b.take_text("format");
  r.base64 = b.take_text("base64");
  r.width_px = static_cast<uint32_t>(b.number("width_px"));
  r.height_px = static_cast<uint32_t>(b.number("height_px"));
  return r;
}

void take_png_attempt(BoundPayload& b, PngAttemptFields& r) {
  r.intent_id = b.take_text("intent_id");
  r.printer = b.take_text("printer");
  r.title = b.take_text("title");
  r.copies = static_cast<uint16_t>(b.number("copies", 1));
  r.media = b.take_optional_text("media");
  r.dpi = static_cast<uint32_t>(b.number("dpi"));
}

// A handler's typed answer, written for the wire.
template <typename T>
Result<Json> written(Result<T> answer, Json (*write)(const T&)) {
  if (!answer.ok()) return answer.take_error();
  return write(answer.value());
}

std::vector<std::string_view> all_capabilities();

Result<Json> answer_hello(Json*, const StrictJson&, HostContext& ctx) {
  static const std::vector<std::string_view> capabilities = all_capabilities();
  return write_hello(ctx.print.info, capabilities);
}

Result<Json> answer_list_printers(Json*, const StrictJson&, HostContext& ctx) {
  Result<PrinterList> list = list_printers(ctx.spooler, ctx.print.info, ctx.voice);
  if (!list.ok()) return list.take_error();
  return write_printers(list.value(), ctx.print.info);
}

Result<Json> answer_submit(Json* payload, const StrictJson& parsed, HostContext& ctx) {
  Result<SubmitRequest> request = bind_submit_request(payload, parsed);
  if (!request.ok()) return request.take_error();
  return written(handle_submit(std::move(request.value()), ctx.print), write_submit);
}

Result<Json> answer_submit_document(Json* payload, const StrictJson& parsed, HostContext& ctx) {
  Result<DocumentRequest> request = bind_document_request(payload, parsed);
  if (!request.ok()) return request.take_error();
  return written(handle_submit_document(std::move(request.value()), ctx.print), write_submit);
}

Result<Json> answer_submit_raw(Json* payload, const StrictJson& parsed, HostContext& ctx) {
  Result<RawSubmitRequest> request = bind_raw_request(payload, parsed);
  if (!request.ok()) return request.take_error();
  return written(handle_submit_raw(std::move(request.value()), ctx.print), write_submit);
}

Result<Json> answer_describe_printer(Json* payload, const StrictJson& parsed, HostContext& ctx) {
  Result<BoundPayload> b = bind_payload(payload, parsed, kDescribePrinter, "payload");
  if (!b.ok()) return b.take_error();
  const Json* printer = b.value().get("printer");
  if (!printer || !printer->is_string() ||
      !is_valid_text_field(printer->get_ref<const std::string&>(), protocol_limits::kPrinterMaxBytes)) {
    return errors::bad_text_field("printer");
  }
  return written(
      describe_printer(printer->get<std::string>(), ctx.print.new_document(), ctx.spooler, ctx.print.info, ctx.voice),
      write_printer);
}

Result<Json> answer_get_job(Json* payload, const StrictJson& parsed, HostContext& ctx) {
  Result<BoundPayload> b = bind_payload(payload, parsed, kGetJob, "payload");
  if (!b.ok()) return b.take_error();
  const Json* id = b.value().get("intent_id");
  if (!id || !id->is_string() || !is_valid_identifier(id->get_ref<const std::string&>(), kIntentIdMaxBytes)) {
    return errors::unsupported_characters("intent_id");
  }
  return written(get_job(id->get<std::string>(), ctx.print.state, ctx.spooler, ctx.print.clock, ctx.print.fleet),
                 write_job);
}

Result<Json> answer_find_jobs(Json* payload, const StrictJson& parsed, HostContext& ctx) {
  Result<BoundPayload> b = bind_payload(payload, parsed, kFindJobs, "payload");
  if (!b.ok()) return b.take_error();
  const Json* prefix = b.value().get("intent_prefix");
  const Json* limit = b.value().get("limit");
  if (!prefix || !prefix->is_string() ||
      !is_valid_identifier(prefix->get_ref<const std::string&>(), kIntentIdMaxBytes)) {
    return errors::unsupported_characters("intent_prefix");
  }
  size_t count = protocol_limits::kFindJobsDefaultLimit;
  if (limit && !limit->is_null()) {
    std::optional<uint64_t> n = json_unsigned(*limit, kMaxFoundJobs);
    if (!n || *n == 0) return errors::make(errors::kBadRequest, errors::kMsgFindLimit);
    count = static_cast<size_t>(*n);
  }
  return written(find_jobs(prefix->get_ref<const std::string&>(), count, ctx.print.state, ctx.print.fleet),
                 write_found_jobs);
}

// A watch's names: absent, or a list of queue names (printers) or intent
// ids (intents), each as describe_printer and get_job take it.
Result<std::vector<std::string>> watch_names(const BoundPayload& b, std::string_view member) {
  std::vector<std::string> names;
  const Json* list = b.get(member);
  if (!list) return names;
  const bool printers = member == "printers";
  // The parser keeps one name past the most a watch may hold.
  if (list->size() > (printers ? Watch::kMaxPrinters : Watch::kMaxIntents)) {
    return errors::make(errors::kBadRequest, errors::kMsgWatchTooLarge);
  }
  for (const Json& name : *list) {
    if (printers) {
      if (!name.is_string() || !is_valid_text_field(name.get_ref<const std::string&>(), protocol_limits::kPrinterMaxBytes)) {
        return errors::bad_text_field("printers[" + std::to_string(names.size()) + "]");
      }
    } else if (!name.is_string() || !is_valid_identifier(name.get_ref<const std::string&>(), kIntentIdMaxBytes)) {
      return errors::unsupported_characters("intents[" + std::to_string(names.size()) + "]");
    }
    names.push_back(name.get<std::string>());
  }
  return names;
}

Result<Json> answer_watch(Json* payload, const StrictJson& parsed, HostContext& ctx, bool add) {
  Result<BoundPayload> b = bind_payload(payload, parsed, kWatch, "payload");
  if (!b.ok()) return b.take_error();
  Result<std::vector<std::string>> printers = watch_names(b.value(), "printers");
  if (!printers.ok()) return printers.take_error();
  Result<std::vector<std::string>> intents = watch_names(b.value(), "intents");
  if (!intents.ok()) return intents.take_error();
  std::vector<std::string> unknown;
  if (add) {
    if (Status s = ctx.watch.add(printers.value(), intents.value()); !s.ok()) return s.take_error();
    // Attempts nobody made yet are watched too (their event comes once one
    // is made); the reply names them, as get_job would refuse them.
    for (const std::string& id : intents.value()) {
      Result<std::optional<JobRecord>> found = find_attempt(ctx.print.state, id);
      if (found.ok() && !found.value()) unknown.push_back(id);
    }
  } else {
    ctx.watch.remove(printers.value(), intents.value());
  }
  return write_watching(ctx.watch, unknown);
}

Result<Json> answer_watch_add(Json* payload, const StrictJson& parsed, HostContext& ctx) {
  return answer_watch(payload, parsed, ctx, true);
}

Result<Json> answer_unwatch(Json* payload, const StrictJson& parsed, HostContext& ctx) {
  return answer_watch(payload, parsed, ctx, false);
}

const std::vector<MessageEntry>& entries() {
  static const std::vector<MessageEntry> table{
      {"hello", {}, nullptr, answer_hello},
      {"list_printers", {"list_printers"}, nullptr, answer_list_printers},
      {"submit", {"submit_png"}, &kSubmit, answer_submit, true},
      {"get_job", {"get_job", "durable_idempotency"}, &kGetJob, answer_get_job, true},
      {"submit_raw", {"submit_raw"}, &kSubmitRaw, answer_submit_raw, true},
      {"describe_printer", {"describe_printer"}, &kDescribePrinter, answer_describe_printer},
      {"submit_document", {"submit_document"}, &kSubmitDocument, answer_submit_document, true},
      {"find_jobs", {"find_jobs"}, &kFindJobs, answer_find_jobs, true},
      {"watch", {"watch"}, &kWatch, answer_watch_add, true},
      {"unwatch", {}, &kWatch, answer_unwatch},
  };
  return table;
}

// What hello lists, in the table's order.
std::vector<std::string_view> all_capabilities() {
  std::vector<std::string_view> all;
  for (const MessageEntry& m : entries()) all.insert(all.end(), m.capabilities.begin(), m.capabilities.end());
  return all;
}

// The union of every payload's members. A name two messages share has one
// kind in both (the table's test holds that); a list position takes the
// shape of the message that keeps a structure there.
JsonShape union_shape() {
  JsonShape u;
  for (const MessageEntry& m : entries()) {
    if (!m.payload) continue;
    const JsonShape& s = m.payload->shape();
    for (const JsonShape::Member& member : s.members) {
      auto known = std::find_if(u.members.begin(), u.members.end(),
                                [&member](const JsonShape::Member& k) { return k.key == member.key; });
      if (known == u.members.end()) u.members.push_back(member);
    }
    for (size_t i = 0; i < s.elements.size(); ++i) {
      if (i == u.elements.size()) u.elements.push_back(s.elements[i]);
      if (u.elements[i] == &kScalarShape) u.elements[i] = s.elements[i];
    }
  }
  return u;
}

}  // namespace

std::span<const MessageEntry> message_table() { return entries(); }

const MessageEntry* find_message(std::string_view type) {
  for (const MessageEntry& m : entries()) {
    if (m.type == type) return &m;
  }
  return nullptr;
}

const JsonShape& payload_shape() {
  static const JsonShape shape = union_shape();
  return shape;
}

Result<SubmitRequest> bind_submit_request(Json* payload, const StrictJson& parsed) {
  Result<BoundPayload> b = bind_payload(payload, parsed, kSubmit, "payload");
  if (!b.ok()) return b.take_error();
  Result<BoundPayload> raster = bind_payload(b.value().get("payload"), parsed, kRaster, "payload.payload");
  if (!raster.ok()) return raster.take_error();
  SubmitRequest r;
  take_png_attempt(b.value(), r);
  r.payload = raster_of(raster.value());
  return r;
}

Result<DocumentRequest> bind_document_request(Json* payload, const StrictJson& parsed) {
  Result<BoundPayload> b = bind_payload(payload, parsed, kSubmitDocument, "payload");
  if (!b.ok()) return b.take_error();
  DocumentRequest r;
  take_png_attempt(b.value(), r);
  Json& pages = *b.value().get("pages");
  r.pages.reserve(std::min(pages.size(), kMaxDocumentPages + 1));
  for (Json& page : pages) {
    if (r.pages.size() == kMaxDocumentPages) {  // the parser kept one more as null: too many
      r.pages.emplace_back();
      break;
    }
    Result<BoundPayload> raster =
        bind_payload(&page, parsed, kRaster, "payload.pages[" + std::to_string(r.pages.size()) + "]");
    if (!raster.ok()) return raster.take_error();
    r.pages.push_back(raster_of(raster.value()));
  }
  return r;
}

Result<RawSubmitRequest> bind_raw_request(Json* payload, const StrictJson& parsed) {
  Result<BoundPayload> b = bind_payload(payload, parsed, kSubmitRaw, "payload");
  if (!b.ok()) return b.take_error();
  RawSubmitRequest r;
  r.intent_id = b.value().take_text("intent_id");
  r.printer = b.value().take_text("printer");
  r.title = b.value().take_text("title");
  r.copies = static_cast<uint16_t>(b.value().number("copies", 1));
  r.language = b.value().take_text("language");
  r.base64 = b.value().take_text("base64");
  return r;
}

}  // namespace tph
