// The contact form of the reporter's assistants (resource "TZECONTACTFORM").
object ContactForm: TNVForm
  Message = 'Contact information'
  ActiveControl = 'NameEdit'
  OnAction = 'zelExcept.HandleContactForm'
  object IntroLabel: INVLabel
    Caption = 'So that we can ask you about the error, please tell us how to reach you.'
  end
  object NameLabel: INVLabel
    Caption = 'Your name:'
  end
  object NameEdit: INVEdit
    Optional = True
    OutputName = 'contact name'
  end
  object EmailLabel: INVLabel
    Caption = 'Your e-mail address:'
  end
  object EmailEdit: INVEdit
    Valid = False
    OutputName = 'contact email'
  end
  object MemCheck: INVCheckBox
    Caption = 'remember this information'
  end
end
