// The method type: its protocol (binding to instances, garbage collection,
// attributes a Python function has) and the classes built from its objects.
#include "diagnoser/common/method.h"

#include <structmember.h>

#include <cstring>
#include <memory>
#include <stdexcept>

#include "diagnoser/common/method_object.h"
#include "diagnoser/common/names.h"

namespace trov {
namespace {

extern PyTypeObject MethodType;

PyObject* method_get(PyObject* self, PyObject* obj, PyObject* /*type*/) {
  if (obj == nullptr || obj == Py_None) {
    Py_INCREF(self);
    return self;
  }
  return PyMethod_New(self, obj);
}

int method_traverse(PyObject* self, visitproc visit, void* arg) {
  auto* m = reinterpret_cast<MethodObject*>(self);
  Py_VISIT(m->defaults);
  Py_VISIT(m->globals);
  Py_VISIT(m->signature);
  return 0;
}

int method_clear(PyObject* self) {
  auto* m = reinterpret_cast<MethodObject*>(self);
  Py_CLEAR(m->defaults);
  Py_CLEAR(m->globals);
  Py_CLEAR(m->signature);
  return 0;
}

void method_dealloc(PyObject* self) {
  auto* m = reinterpret_cast<MethodObject*>(self);
  PyObject_GC_UnTrack(self);
  method_clear(self);
  Py_XDECREF(m->name);
  Py_XDECREF(m->qualname);
  Py_XDECREF(m->module);
  Py_XDECREF(m->params);
  Py_XDECREF(m->doc);
  delete m->trace_name;
  delete m->file;
  PyObject_GC_Del(self);
}

PyObject* method_repr(PyObject* self) {
  auto* m = reinterpret_cast<MethodObject*>(self);
  return PyUnicode_FromFormat("<function %U at %p>", m->qualname, self);
}

PyObject* get_defaults(PyObject* self, void*) {
  auto* m = reinterpret_cast<MethodObject*>(self);
  PyObject* defaults = m->defaults != nullptr ? m->defaults : Py_None;
  Py_INCREF(defaults);
  return defaults;
}

PyObject* get_none(PyObject*, void*) { Py_RETURN_NONE; }

PyObject* get_doc(PyObject* self, void*) {
  auto* m = reinterpret_cast<MethodObject*>(self);
  Py_INCREF(m->doc);
  return m->doc;
}

// inspect.signature reads this, so help() and notebook tooltips show the parameters.
PyObject* get_signature(PyObject* self, void*) {
  auto* m = reinterpret_cast<MethodObject*>(self);
  if (m->signature == nullptr) {
    if (m->defaults == nullptr) {
      PyErr_Format(PyExc_ReferenceError, "%U() was cleared with its module", m->qualname);
      return nullptr;
    }
    try {
      py::module_ inspect = py::module_::import("inspect");
      py::object parameter = inspect.attr("Parameter");
      py::object kind = parameter.attr("POSITIONAL_OR_KEYWORD");
      py::list parameters;
      py::tuple params = py::reinterpret_borrow<py::tuple>(m->params);
      py::object defaults = py::reinterpret_borrow<py::object>(m->defaults);
      Py_ssize_t named = named_count(m);
      Py_ssize_t first_default = named - defaults_count(m);
      for (Py_ssize_t i = 0; i < named; ++i) {
        if (i < first_default) {
          parameters.append(parameter(params[i], kind));
        } else {
          parameters.append(parameter(params[i], kind,
                                      py::arg("default") = defaults[py::int_(i - first_default)]));
        }
      }
      if (m->var_keyword)
        parameters.append(parameter(params[named], parameter.attr("VAR_KEYWORD")));
      py::object signature = inspect.attr("Signature")(parameters);
      // Building it ran Python code; another thread may have stored one meanwhile.
      if (m->signature == nullptr) m->signature = signature.release().ptr();
    } catch (...) {
      restore_current_exception();
      return nullptr;
    }
  }
  Py_INCREF(m->signature);
  return m->signature;
}

PyObject* get_globals(PyObject* self, void*) {
  auto* m = reinterpret_cast<MethodObject*>(self);
  PyObject* globals = m->globals != nullptr ? m->globals : Py_None;
  Py_INCREF(globals);
  return globals;
}

// Pickled by reference, as Python functions are.
PyObject* method_reduce(PyObject* self, PyObject*) {
  auto* m = reinterpret_cast<MethodObject*>(self);
  Py_INCREF(m->qualname);
  return m->qualname;
}

PyMemberDef method_members[] = {
    {"__name__", T_OBJECT, offsetof(MethodObject, name), READONLY, nullptr},
    {"__qualname__", T_OBJECT, offsetof(MethodObject, qualname), READONLY, nullptr},
    {"__module__", T_OBJECT, offsetof(MethodObject, module), READONLY, nullptr},
    {nullptr, 0, 0, 0, nullptr},
};

PyGetSetDef method_getset[] = {
    {"__defaults__", get_defaults, nullptr, nullptr, nullptr},
    {"__kwdefaults__", get_none, nullptr, nullptr, nullptr},
    {"__doc__", get_doc, nullptr, nullptr, nullptr},
    {"__signature__", get_signature, nullptr, nullptr, nullptr},
    {"__globals__", get_globals, nullptr, nullptr, nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

PyMethodDef method_methods[] = {
    {"__reduce__", method_reduce, METH_NOARGS, nullptr},
    {nullptr, nullptr, 0, nullptr},
};

PyTypeObject MethodType = [] {
  PyTypeObject t{};
  set_refcount(reinterpret_cast<PyObject*>(&t), 1);
  t.tp_name = "trov.diagnoser.method";
  t.tp_basicsize = sizeof(MethodObject);
  t.tp_dealloc = method_dealloc;
  t.tp_repr = method_repr;
  t.tp_flags = Py_TPFLAGS_DEFAULT | Py_TPFLAGS_HAVE_GC | Py_TPFLAGS_METHOD_DESCRIPTOR;
#if TROV_VECTORCALL
  t.tp_vectorcall_offset = offsetof(MethodObject, vectorcall);
  t.tp_call = PyVectorcall_Call;
  t.tp_flags |= Py_TPFLAGS_HAVE_VECTORCALL;
#else
  t.tp_call = method_call;
#endif
  t.tp_traverse = method_traverse;
  t.tp_clear = method_clear;
  t.tp_methods = method_methods;
  t.tp_members = method_members;
  t.tp_getset = method_getset;
  t.tp_descr_get = method_get;
  return t;
}();

// Source path from the package directory on, for the traceback entry.
std::string source_name(const char* file) {
  const char* from = std::strstr(file, "diagnoser/");
  return from != nullptr ? from : file;
}

// Every part is made before the object, so that no failure leaves it half built.
// A last parameter spelled "**name" collects the keywords no other one takes.
py::object new_method(const ModuleContext& module, const std::string& qualname, const char* name,
                      const std::vector<const char*>& params, py::object defaults, Body body,
                      const char* doc, const char* file, int line) {
  py::tuple param_names(params.size());
  int var_keyword = 0;
  for (std::size_t i = 0; i < params.size(); ++i) {
    const char* param = params[i];
    if (std::strncmp(param, "**", 2) == 0) {
      if (i + 1 != params.size()) throw std::logic_error("**name must be the last parameter");
      param += 2;
      var_keyword = 1;
    }
    param_names[i] = py::str(param);
  }
  py::object doc_str = doc != nullptr ? py::object(py::str(doc)) : py::object(py::none());
  py::str name_str(name), qualname_str(qualname), module_str(module.name);
  auto trace_name = std::make_unique<std::string>(module.name + "." + qualname);
  auto file_name = std::make_unique<std::string>(source_name(file));

  auto* m = PyObject_GC_New(MethodObject, &MethodType);
  if (m == nullptr) throw py::error_already_set();
#if TROV_VECTORCALL
  m->vectorcall = method_vectorcall;
#endif
  m->name = name_str.release().ptr();
  m->qualname = qualname_str.release().ptr();
  m->module = module_str.release().ptr();
  m->params = param_names.release().ptr();
  m->doc = doc_str.release().ptr();
  m->defaults = defaults.release().ptr();
  m->globals = py::object(module.globals).release().ptr();
  m->signature = nullptr;
  m->body = body;
  m->var_keyword = var_keyword;
  m->trace_name = trace_name.release();
  m->file = file_name.release();
  m->line = line;
  PyObject_GC_Track(m);
  return py::reinterpret_steal<py::object>(reinterpret_cast<PyObject*>(m));
}

}  // namespace

const py::object& Args::operator[](const char* name) const {
  for (std::size_t i = 0; i < values_.size(); ++i) {
    if (PyUnicode_CompareWithASCIIString(PyTuple_GET_ITEM(params_.ptr(), i), name) == 0) {
      return values_[i];
    }
  }
  throw std::logic_error(std::string("no parameter named ") + name);
}

void ready_method_type() {
  if (PyType_Ready(&MethodType) < 0) throw py::error_already_set();
}

ClassBuilder::ClassBuilder(const ModuleContext& module, const char* name, const char* doc)
    : module_(module), name_(name) {
  namespace_["__module__"] = module.name;
  namespace_["__qualname__"] = name;
  if (doc != nullptr) namespace_["__doc__"] = doc;
}

ClassBuilder& ClassBuilder::method(const char* name, std::vector<const char*> params,
                                   py::tuple defaults, Body body, const char* doc, const char* file,
                                   int line) {
  namespace_[name] = new_method(module_, name_ + "." + name, name, params, std::move(defaults),
                                body, doc, file, line);
  return *this;
}

ClassBuilder& ClassBuilder::method(const char* name, std::vector<const char*> params, Body body,
                                   const char* doc, const char* file, int line) {
  namespace_[name] =
      new_method(module_, name_ + "." + name, name, params, py::none(), body, doc, file, line);
  return *this;
}

py::object ClassBuilder::create() {
  py::object type = py::reinterpret_borrow<py::object>(reinterpret_cast<PyObject*>(&PyType_Type));
  py::tuple bases = py::make_tuple(
      py::reinterpret_borrow<py::object>(reinterpret_cast<PyObject*>(&PyBaseObject_Type)));
  return type(py::str(name_), bases, namespace_);
}

py::object make_function(const ModuleContext& module, const char* name,
                         std::vector<const char*> params, py::tuple defaults, Body body,
                         const char* doc, const char* file, int line) {
  return new_method(module, name, name, params, std::move(defaults), body, doc, file, line);
}

}  // namespace trov
