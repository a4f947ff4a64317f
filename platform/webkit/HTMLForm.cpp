// The headless engine's forms: the page's HTML read with libxml2's HTML parser, the form's controls found
// and filled in as a user would, and the request the browser would send for it.
#include <libxml/HTMLparser.h>
#include <libxml/tree.h>

#include <algorithm>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "platform/foundation/ASCII.h"
#include "platform/webkit/PageEngine.h"

namespace platform::webkit::webkit_detail {

namespace {

using Document = std::unique_ptr<xmlDoc, decltype(&xmlFreeDoc)>;

std::string tagOf(const xmlNode* node) { return node->name ? reinterpret_cast<const char*>(node->name) : ""; }

bool hasAttribute(xmlNode* node, const char* name) {
    return xmlHasProp(node, reinterpret_cast<const xmlChar*>(name)) != nullptr;
}

std::optional<std::string> attribute(xmlNode* node, const char* name) {
    xmlChar* value = xmlGetProp(node, reinterpret_cast<const xmlChar*>(name));
    if (!value) return std::nullopt;
    std::string text(reinterpret_cast<const char*>(value));
    xmlFree(value);
    return text;
}

std::string textOf(xmlNode* node) {
    xmlChar* content = xmlNodeGetContent(node);
    std::string text = content ? reinterpret_cast<const char*>(content) : "";
    xmlFree(content);
    return text;
}

std::string collapsedWhitespace(std::string_view text) {
    std::string out;
    for (char c : text) {
        bool space = c == ' ' || c == '\t' || c == '\n' || c == '\r' || c == '\f';
        if (!space)
            out += c;
        else if (!out.empty() && out.back() != ' ')
            out += ' ';
    }
    if (!out.empty() && out.back() == ' ') out.pop_back();
    return out;
}

enum class Kind { Text, Choice, Select, Submit, Other };

struct Option {
    std::string value;
    bool selected = false;
    bool disabled = false;
};

struct Control {
    xmlNode* node = nullptr;
    std::string tag;
    std::string type;  // an input's or a button's type, lower-case
    std::string name;
    Kind kind = Kind::Other;
    bool disabled = false;
    std::string value;  // text fields, choices, buttons
    bool checked = false;
    bool multiple = false;
    std::vector<Option> options;
    int ancestorForm = -1;                // the form it sits in
    std::optional<std::string> formAttr;  // the form it names instead
};

struct Form {
    xmlNode* node = nullptr;
    std::optional<std::string> id;
    std::optional<std::string> action;
};

struct Page {
    std::vector<Form> forms;
    std::vector<Control> controls;
};

void collectOptions(xmlNode* node, bool groupDisabled, std::vector<Option>& options) {
    for (xmlNode* child = node->children; child; child = child->next) {
        if (child->type != XML_ELEMENT_NODE) continue;
        std::string tag = tagOf(child);
        if (tag == "optgroup") {
            collectOptions(child, groupDisabled || hasAttribute(child, "disabled"), options);
        } else if (tag == "option") {
            Option option;
            option.value = attribute(child, "value").value_or(collapsedWhitespace(textOf(child)));
            option.selected = hasAttribute(child, "selected");
            option.disabled = groupDisabled || hasAttribute(child, "disabled");
            options.push_back(std::move(option));
        }
    }
}

Control controlOf(xmlNode* node, const std::string& tag, bool inDisabledFieldset, int form) {
    Control control;
    control.node = node;
    control.tag = tag;
    control.name = attribute(node, "name").value_or("");
    control.disabled = inDisabledFieldset || hasAttribute(node, "disabled");
    control.ancestorForm = form;
    control.formAttr = attribute(node, "form");
    if (tag == "input") {
        control.type = lowercasedASCII(attribute(node, "type").value_or("text"));
        if (control.type == "checkbox" || control.type == "radio") {
            control.kind = Kind::Choice;
            control.value = attribute(node, "value").value_or("on");
            control.checked = hasAttribute(node, "checked");
        } else if (control.type == "submit" || control.type == "image") {
            control.kind = Kind::Submit;
            control.value = attribute(node, "value").value_or("");
        } else if (control.type != "reset" && control.type != "button" && control.type != "file") {
            control.kind = Kind::Text;
            control.value = attribute(node, "value").value_or("");
        }
    } else if (tag == "button") {
        control.type = lowercasedASCII(attribute(node, "type").value_or("submit"));
        if (control.type != "reset" && control.type != "button") control.type = "submit";
        control.kind = control.type == "submit" ? Kind::Submit : Kind::Other;
        control.value = attribute(node, "value").value_or("");
    } else if (tag == "select") {
        control.kind = Kind::Select;
        control.multiple = hasAttribute(node, "multiple");
        collectOptions(node, false, control.options);
        // One shown at a time: without a selected option the first that can be chosen is.
        bool any = false;
        for (const auto& option : control.options) any = any || option.selected;
        if (!any && !control.multiple && attribute(node, "size").value_or("1") == "1")
            for (auto& option : control.options)
                if (!option.disabled) {
                    option.selected = true;
                    break;
                }
    } else {  // textarea: its text, less one leading line break
        control.kind = Kind::Text;
        control.value = textOf(node);
        if (control.value.rfind("\r\n", 0) == 0)
            control.value.erase(0, 2);
        else if (!control.value.empty() && control.value[0] == '\n')
            control.value.erase(0, 1);
    }
    return control;
}

void walk(xmlNode* node, int form, bool inDisabledFieldset, Page& page) {
    for (xmlNode* child = node; child; child = child->next) {
        if (child->type != XML_ELEMENT_NODE) continue;
        std::string tag = tagOf(child);
        int owner = form;
        bool disabled = inDisabledFieldset;
        if (tag == "form") {
            page.forms.push_back({child, attribute(child, "id"), attribute(child, "action")});
            if (owner < 0) owner = static_cast<int>(page.forms.size()) - 1;  // a form inside a form is not one
        } else if (tag == "fieldset") {
            disabled = disabled || hasAttribute(child, "disabled");
        } else if (tag == "input" || tag == "button" || tag == "select" || tag == "textarea") {
            page.controls.push_back(controlOf(child, tag, inDisabledFieldset, form));
            if (tag != "button") continue;  // a button's content holds no controls of its own
        }
        walk(child->children, owner, disabled, page);
    }
}

// A form's action resolved as the page resolves it: none (or an empty one) is the page itself.
std::string resolvedAction(const std::optional<std::string>& action, const URL& pageURL) {
    if (!action || action->empty()) return pageURL.absoluteString();
    auto url = URL::string(*action, pageURL);
    return url ? url->absoluteString() : *action;
}

// application/x-www-form-urlencoded: letters, digits and "*-._" as they are, a space as '+', every other
// byte as %XX. The page's text and the user's are UTF-8.
std::string formEncoded(std::string_view text) {
    static const auto kept = CharacterSet::alphanumerics().adding("*-._ ");
    std::string out = addingPercentEncoding(text, kept).value_or("");
    std::replace(out.begin(), out.end(), ' ', '+');
    return out;
}

// Line breaks as a form sends them: CR LF.
std::string withCRLF(std::string_view text) {
    std::string out;
    for (size_t i = 0; i < text.size(); ++i) {
        if (text[i] == '\r' || text[i] == '\n') {
            out += "\r\n";
            if (text[i] == '\r' && i + 1 < text.size() && text[i + 1] == '\n') ++i;
        } else {
            out += text[i];
        }
    }
    return out;
}

// The page's first form whose action is `action` as written or resolved; nullopt with `problem` said.
std::optional<size_t> findForm(const Page& page, const URL& pageURL, const std::string& action, std::string& problem) {
    auto wanted = URL::string(action, pageURL);
    for (size_t i = 0; i < page.forms.size(); ++i) {
        const auto& own = page.forms[i].action;
        if ((own && *own == action) || (wanted && resolvedAction(own, pageURL) == wanted->absoluteString())) return i;
    }
    if (page.forms.empty()) {
        problem = "the page has no form";
        return std::nullopt;
    }
    problem = "no form on the page submits to " + action + " (its forms submit to:";
    for (size_t i = 0; i < page.forms.size(); ++i)
        problem += (i ? ", " : " ") + page.forms[i].action.value_or(resolvedAction(std::nullopt, pageURL));
    problem += ")";
    return std::nullopt;
}

// Sets each value as the user would; a submit button named is the one pressed. Answers why one could not
// be set ("" when all were).
std::string fillIn(const std::vector<Control*>& controls, const FormFill& fill, Control*& submitter) {
    for (const auto& entry : fill.values) {
        const std::string& name = entry.first;
        const std::string& value = entry.second;  // a plain reference: the lambdas below capture it
        std::vector<Control*> named;
        for (auto* control : controls)
            if (control->name == name && control->kind != Kind::Other) named.push_back(control);
        if (named.empty()) return "the form has no field " + name;
        Control& first = *named.front();
        if (first.kind == Kind::Text) {
            first.value = value;
            continue;
        }
        const std::string noChoice = "the form's " + name + " has no choice " + value;
        if (first.kind == Kind::Select) {
            auto chosen = std::find_if(first.options.begin(), first.options.end(),
                                       [&](const Option& option) { return !option.disabled && option.value == value; });
            if (chosen == first.options.end()) return noChoice;
            if (!first.multiple)
                for (auto& option : first.options) option.selected = false;
            chosen->selected = true;
            continue;
        }
        // A checkbox or radio button, or a submit button, of that value.
        auto chosen = std::find_if(named.begin(), named.end(),
                                   [&](const Control* c) { return c->kind == first.kind && c->value == value; });
        if (chosen == named.end()) return noChoice;
        if (first.kind == Kind::Submit) {
            submitter = *chosen;
            continue;
        }
        if ((*chosen)->type == "radio")
            for (auto* control : named)
                if (control->type == "radio") control->checked = false;
        (*chosen)->checked = true;
    }
    return "";
}

// A required field left empty stops the submission, as the engine's own check of the form does (which
// also checks patterns and types), and in the engine's words. "" when none is.
std::string firstMissing(const std::vector<Control*>& controls) {
    for (auto* control : controls) {
        if (!hasAttribute(control->node, "required")) continue;
        std::string missing;
        if (control->kind == Kind::Text && control->type != "hidden" && !hasAttribute(control->node, "readonly")) {
            if (control->value.empty()) missing = "Fill out this field";
        } else if (control->type == "checkbox") {
            if (!control->checked) missing = "Select this checkbox";
        } else if (control->type == "radio") {
            bool any = false;
            for (auto* other : controls)
                any = any || (other->type == "radio" && other->name == control->name && other->checked);
            if (!any) missing = "Select one of these options";
        } else if (control->kind == Kind::Select) {
            bool any = false;
            for (const auto& option : control->options) any = any || (option.selected && !option.value.empty());
            if (!any) missing = "Select an item in the list";
        } else if (control->type == "file") {
            missing = "Select a file";
        }
        if (!missing.empty())
            return "the form's field " + (control->name.empty() ? control->tag : control->name) +
                   " is not valid: " + missing;
    }
    return "";
}

// What the form sends, in the page's order, encoded.
std::string encodedEntries(const std::vector<Control*>& controls, const Control* submitter) {
    std::string body;
    auto add = [&body](const std::string& name, const std::string& value) {
        if (!body.empty()) body += '&';
        body += formEncoded(withCRLF(name)) + "=" + formEncoded(withCRLF(value));
    };
    for (auto* control : controls) {
        if (control->kind == Kind::Submit) {
            if (control != submitter) continue;
            if (control->type == "image") {  // where it was clicked: its corner
                std::string prefix = control->name.empty() ? "" : control->name + ".";
                add(prefix + "x", "0");
                add(prefix + "y", "0");
            } else if (!control->name.empty()) {
                // A submit button without a value sends the engine's own label for it.
                bool label = control->type == "submit" && !hasAttribute(control->node, "value");
                add(control->name, label ? "Submit" : control->value);
            }
            continue;
        }
        if (control->name.empty()) continue;
        if (control->kind == Kind::Choice) {
            if (control->checked) add(control->name, control->value);
        } else if (control->kind == Kind::Select) {
            for (const auto& option : control->options)
                if (option.selected && !option.disabled) add(control->name, option.value);
        } else if (control->kind == Kind::Text) {
            add(control->name, control->value);
        } else if (control->type == "file") {
            add(control->name, "");  // no file chosen: its name alone
        }
    }
    return body;
}

}  // namespace

FormRequest formRequest(const std::string& html, const URL& pageURL, const FormFill& fill) {
    FormRequest made;
    Document document(htmlReadMemory(html.data(), static_cast<int>(html.size()), pageURL.absoluteString().c_str(),
                                     nullptr,
                                     HTML_PARSE_RECOVER | HTML_PARSE_NOERROR | HTML_PARSE_NOWARNING | HTML_PARSE_NONET),
                      &xmlFreeDoc);
    Page page;
    if (document) walk(xmlDocGetRootElement(document.get()), -1, false, page);
    auto index = findForm(page, pageURL, fill.action, made.problem);
    if (!index) return made;
    const Form& form = page.forms[*index];

    // The form's own controls, in the page's order: those inside it and those that name it.
    std::vector<Control*> controls;
    for (auto& control : page.controls) {
        bool owned = control.formAttr ? form.id && *form.id == *control.formAttr
                                      : control.ancestorForm == static_cast<int>(*index);
        if (owned && !control.disabled) controls.push_back(&control);
    }
    Control* submitter = nullptr;
    made.problem = fillIn(controls, fill, submitter);
    if (!made.problem.empty()) return made;
    // Submitted as by the Enter key when no button was chosen: with the form's first submit button.
    if (!submitter)
        for (auto* control : controls)
            if (control->kind == Kind::Submit && !submitter) submitter = control;
    if (!hasAttribute(form.node, "novalidate") && !(submitter && hasAttribute(submitter->node, "formnovalidate")))
        made.problem = firstMissing(controls);
    if (!made.problem.empty()) return made;
    std::string body = encodedEntries(controls, submitter);

    // The button may send the form elsewhere, or another way.
    auto override = [&](const char* name, const std::optional<std::string>& own) {
        auto value = submitter ? attribute(submitter->node, name) : std::nullopt;
        return value ? value : own;
    };
    std::string method = lowercasedASCII(override("formmethod", attribute(form.node, "method")).value_or("get"));
    std::string enctype = lowercasedASCII(
        override("formenctype", attribute(form.node, "enctype")).value_or("application/x-www-form-urlencoded"));
    auto target = URL::string(resolvedAction(override("formaction", form.action), pageURL));
    if (!target) {
        made.problem = "the form's action is not a URL";
    } else if (method == "dialog") {
        made.problem = "the form's method is dialog: it closes its dialog and sends nothing";
    } else if (method != "post") {
        auto components = URLComponents::fromURL(*target, true);
        if (components && components->setPercentEncodedQuery(body) && components->url())
            made.request = URLRequest(*components->url());
        else
            made.problem = "the form's action " + target->absoluteString() + " takes no query";
    } else if (enctype != "application/x-www-form-urlencoded") {
        made.problem = "the headless web view sends forms as application/x-www-form-urlencoded only, this one is " +
                       enctype + " (run with --web-engine real)";
    } else {
        URLRequest request(*target);
        request.setHTTPMethod("POST");
        request.setValue("application/x-www-form-urlencoded", "Content-Type");
        request.setHTTPBody(Bytes(body.begin(), body.end()));
        made.request = std::move(request);
    }
    return made;
}

}  // namespace platform::webkit::webkit_detail
