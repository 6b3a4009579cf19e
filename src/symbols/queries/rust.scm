; Definitions. Later patterns win on the same name, so the general rule comes
; first and the more particular ones after it.

(function_item name: (identifier) @name) @definition.function
(function_signature_item name: (identifier) @name) @definition.function
(impl_item body: (declaration_list (function_item name: (identifier) @name) @definition.method))
(trait_item body: (declaration_list (function_item name: (identifier) @name) @definition.method))
(trait_item body: (declaration_list (function_signature_item name: (identifier) @name) @definition.method))

(struct_item name: (type_identifier) @name) @definition.struct
(enum_item name: (type_identifier) @name) @definition.enum
(union_item name: (type_identifier) @name) @definition.union
(type_item name: (type_identifier) @name) @definition.type
(associated_type name: (type_identifier) @name) @definition.type
(trait_item name: (type_identifier) @name) @definition.trait
(mod_item name: (identifier) @name) @definition.module
(macro_definition name: (identifier) @name) @definition.macro
(const_item name: (identifier) @name) @definition.constant
(static_item name: (identifier) @name) @definition.variable
(enum_variant name: (identifier) @name) @definition.enumerator
(field_declaration name: (field_identifier) @name) @definition.field

; An impl is named by its type as a reader types it: JoinHandle for
; `impl<T> Future for JoinHandle<T>`, Handle for `impl Trait for &'a Handle`.
(impl_item type: [
  (type_identifier) @name
  (primitive_type) @name
  (generic_type type: (type_identifier) @name)
  (scoped_type_identifier name: (type_identifier) @name)
  (generic_type type: (scoped_type_identifier name: (type_identifier) @name))
  (reference_type type: [
    (type_identifier) @name
    (generic_type type: (type_identifier) @name)
    (scoped_type_identifier name: (type_identifier) @name)])
  (pointer_type type: [(type_identifier) @name (generic_type type: (type_identifier) @name)])
]) @definition.impl

; References.

(type_identifier) @name @reference.type
(type_parameter name: (type_identifier) @ignore)

(call_expression function: (scoped_identifier name: (identifier) @name)) @reference.call
(call_expression function: (generic_function function: [
  (identifier) @name
  (scoped_identifier name: (identifier) @name)
  (field_expression field: (field_identifier) @name)])) @reference.call
(call_expression function: (identifier) @name) @reference.call
(call_expression function: (field_expression field: (field_identifier) @name)) @reference.call
(struct_expression name: (type_identifier) @name) @reference.new
(struct_expression name: (scoped_type_identifier name: (type_identifier) @name)) @reference.new

(macro_invocation macro: (identifier) @name) @reference.macro
(macro_invocation macro: (scoped_identifier name: (identifier) @name)) @reference.macro

(impl_item trait: [
  (type_identifier) @name
  (generic_type type: (type_identifier) @name)
  (scoped_type_identifier name: (type_identifier) @name)
  (generic_type type: (scoped_type_identifier name: (type_identifier) @name))
]) @reference.implementation

(use_declaration argument: [
  (identifier) @name
  (scoped_identifier name: (identifier) @name)
  (use_as_clause path: [(identifier) @name (scoped_identifier name: (identifier) @name)])
]) @reference.import
(use_list [
  (identifier) @name
  (scoped_identifier name: (identifier) @name)
  (use_as_clause path: [(identifier) @name (scoped_identifier name: (identifier) @name)])
]) @reference.import

; Macro bodies are token trees, not syntax: `tokio::pin! { let f = rx.recv(); }`
; and whole modules inside `cfg_rt! { ... }`. A name written just before a
; parenthesised token tree is read as a call there, unless `fn` precedes it.
((token_tree (identifier) @name . (token_tree "(")) @reference.call)
(token_tree "fn" . (identifier) @ignore)
((token_tree (identifier) @name . "!") @reference.macro)
; Attribute arguments are predicates and settings, not calls: cfg(all(unix)).
(attribute arguments: (token_tree (identifier) @ignore))
(attribute arguments: (token_tree (token_tree (identifier) @ignore)))
(attribute arguments: (token_tree (token_tree (token_tree (identifier) @ignore))))
